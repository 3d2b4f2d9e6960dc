# Lays a program out as NAME.app/Contents/{MacOS/NAME, Info.plist, Resources/}.
# FEED_URL, when given, becomes the SUFeedURL key that the update check reads.
function(cv_make_bundle target)
  cmake_parse_arguments(B "" "NAME;IDENTIFIER;ICON;FEED_URL" "" ${ARGN})
  set(bundle ${CMAKE_BINARY_DIR}/${B_NAME}.app)
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${B_NAME}
    RUNTIME_OUTPUT_DIRECTORY ${bundle}/Contents/MacOS)
  set(BUNDLE_NAME ${B_NAME})
  set(BUNDLE_EXECUTABLE ${B_NAME})
  set(BUNDLE_IDENTIFIER ${B_IDENTIFIER})
  set(BUNDLE_ICON ${B_ICON})
  set(BUNDLE_EXTRA_KEYS "")
  if(B_FEED_URL)
    set(feed "${B_FEED_URL}")
    string(REPLACE "&" "&amp;" feed "${feed}")
    string(REPLACE "<" "&lt;" feed "${feed}")
    set(BUNDLE_EXTRA_KEYS "\n\t<key>SUFeedURL</key>\n\t<string>${feed}</string>")
  endif()
  configure_file(${CMAKE_SOURCE_DIR}/cmake/Info.plist.in ${bundle}/Contents/Info.plist @ONLY)
  file(MAKE_DIRECTORY ${bundle}/Contents/Resources)
endfunction()
