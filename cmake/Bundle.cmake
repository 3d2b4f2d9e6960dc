# Lays a program out as NAME.app/Contents/{MacOS/NAME, Info.plist, Resources/}.
function(cv_make_bundle target)
  cmake_parse_arguments(B "" "NAME;IDENTIFIER;ICON" "" ${ARGN})
  set(bundle ${CMAKE_BINARY_DIR}/${B_NAME}.app)
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${B_NAME}
    RUNTIME_OUTPUT_DIRECTORY ${bundle}/Contents/MacOS)
  set(BUNDLE_NAME ${B_NAME})
  set(BUNDLE_EXECUTABLE ${B_NAME})
  set(BUNDLE_IDENTIFIER ${B_IDENTIFIER})
  set(BUNDLE_ICON ${B_ICON})
  configure_file(${CMAKE_SOURCE_DIR}/cmake/Info.plist.in ${bundle}/Contents/Info.plist @ONLY)
  file(MAKE_DIRECTORY ${bundle}/Contents/Resources)
endfunction()
