# Installation and the Debian package.
#   <prefix>/lib/corvantis/Corvantis.app      the configurator, carrying the engine
#   <prefix>/bin/corvantis                     launcher
#   <prefix>/share/applications/com.tallowmere.Corvantis.desktop
#   <prefix>/share/icons/hicolor/<size>/apps/com.tallowmere.Corvantis.png
#   <prefix>/share/metainfo/com.tallowmere.Corvantis.metainfo.xml
#   <prefix>/share/man/man1/corvantis.1.gz
#   <prefix>/share/doc/corvantis/{copyright, changelog.Debian.gz}
#   <prefix>/share/lintian/overrides/corvantis
set(CV_APP_ID com.tallowmere.Corvantis)
set(CV_INSTALL_DIR ${CMAKE_CURRENT_LIST_DIR}/install)

# The bundle is laid out complete in the build tree (the engine copy included),
# so it is installed as it stands; the programs and compatibility commands
# keep their executable bits.
install(DIRECTORY ${CV_CONFIGURATOR_BUNDLE} DESTINATION lib/corvantis USE_SOURCE_PERMISSIONS)
install(PROGRAMS ${CV_INSTALL_DIR}/corvantis.sh DESTINATION bin RENAME corvantis)

# Theme icons at the sizes menus and docks ask for, drawn by the same
# generator as the bundle's icon.
set(CV_ICON_SIZES 48 128 256)
set(cv_theme_icons)
foreach(size IN LISTS CV_ICON_SIZES)
  set(icon ${CMAKE_BINARY_DIR}/icons/${size}x${size}/${CV_APP_ID}.png)
  add_custom_command(OUTPUT ${icon}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/icons/${size}x${size}
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
            $<TARGET_FILE:cv_make_icon> corvantis ${icon} ${size}
    DEPENDS cv_make_icon VERBATIM)
  install(FILES ${icon} DESTINATION share/icons/hicolor/${size}x${size}/apps)
  list(APPEND cv_theme_icons ${icon})
endforeach()
add_custom_target(cv_theme_icons ALL DEPENDS ${cv_theme_icons})

# What software centres, man and Debian's tools read: the AppStream metadata,
# the manual page, the copyright file and the changelog, the last two
# compressed the way Debian wants them (maximum compression, no time stamp).
install(FILES ${CV_INSTALL_DIR}/${CV_APP_ID}.metainfo.xml DESTINATION share/metainfo)
install(FILES ${CV_INSTALL_DIR}/copyright DESTINATION share/doc/corvantis)
install(FILES ${CV_INSTALL_DIR}/lintian-overrides DESTINATION share/lintian/overrides RENAME corvantis)
set(cv_compressed)
foreach(pair IN ITEMS corvantis.1:man/man1/corvantis.1 changelog:doc/corvantis/changelog.Debian)
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 source)
  list(GET pair 1 target)
  set(plain ${CMAKE_BINARY_DIR}/share/${target})
  add_custom_command(OUTPUT ${plain}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${CV_INSTALL_DIR}/${source} ${plain}
    COMMAND gzip -9nf ${plain}
    DEPENDS ${CV_INSTALL_DIR}/${source} VERBATIM)
  get_filename_component(folder ${target} DIRECTORY)
  install(FILES ${plain}.gz DESTINATION share/${folder})
  list(APPEND cv_compressed ${plain}.gz)
endforeach()
add_custom_target(cv_package_docs ALL DEPENDS ${cv_compressed})

install(CODE "
  set(CV_DESKTOP_TEMPLATE \"${CV_INSTALL_DIR}/${CV_APP_ID}.desktop.in\")
  set(CV_DESKTOP_STAGING \"${CMAKE_BINARY_DIR}/desktop-entry\")")
install(SCRIPT ${CV_INSTALL_DIR}/WriteDesktopEntry.cmake)

# Debian package: `cpack -G DEB` in the build folder, after a build. The
# install is staged under DESTDIR with the real prefix, so the desktop entry
# names /usr/bin. Packaging never starts a build of its own: the tree is
# built by then, and a test packages it while other tests run.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(CPACK_PACKAGE_NAME corvantis)
set(CPACK_PACKAGE_VENDOR Tallowmere)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Scheduled backups of a desktop email client's data")
set(CPACK_PACKAGE_DESCRIPTION
  "Corvantis keeps one line of its own in your crontab and, on the days and\n"
  "at the time you choose, copies your email client's data folder to a\n"
  "destination folder.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
# The programs go stripped into the package; their debug symbols go into a
# corvantis-dbgsym package beside it, found by build id.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tallowmere <corvantis@tallowmere.invalid>")
# Every shared library the installed programs link, by its Debian package
# (a test checks this list against the programs), plus what runs a schedule
# (cron) and carries the completion signal (the session bus).
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "libc6 (>= 2.36)"
  "libstdc++6"
  "libgcc-s1"
  "libqt6core6 (>= ${Qt6_VERSION})"
  "libqt6gui6 (>= ${Qt6_VERSION})"
  "libqt6widgets6 (>= ${Qt6_VERSION})"
  "libqt6dbus6 (>= ${Qt6_VERSION})"
  "libqt6network6 (>= ${Qt6_VERSION})"
  "libplist3 (>= ${PLIST_VERSION})"
  "libsecret-1-0"
  "libglib2.0-0"
  "cron"
  "dbus")
list(JOIN CPACK_DEBIAN_PACKAGE_DEPENDS ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
# Off-site copies run restic; without it the rest works and the Off-site pane
# says which package to install.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "restic")
set(CPACK_GENERATOR DEB)
include(CPack)
