# The update check: reads the feed named by SUFeedURL and compares builds.
# No widgets, so its tests need no display; the dialogs live in
# windows/UpdateDialogs.cmake.
add_library(cv_updater STATIC
  ${CMAKE_CURRENT_LIST_DIR}/FeedParser.cpp ${CMAKE_CURRENT_LIST_DIR}/FeedParser.h
  ${CMAKE_CURRENT_LIST_DIR}/Updater.cpp ${CMAKE_CURRENT_LIST_DIR}/Updater.h)
target_include_directories(cv_updater PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(cv_updater PUBLIC cv_platform Qt6::Core Qt6::Network)
