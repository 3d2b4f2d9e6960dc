# The update check's dialogs (message boxes); the check itself is cv_updater.
add_library(cv_updater_dialogs STATIC
  ${CMAKE_CURRENT_LIST_DIR}/UpdateDialogs.cpp ${CMAKE_CURRENT_LIST_DIR}/UpdateDialogs.h)
target_include_directories(cv_updater_dialogs PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(cv_updater_dialogs PUBLIC cv_updater cv_platform_gui Qt6::Widgets)
