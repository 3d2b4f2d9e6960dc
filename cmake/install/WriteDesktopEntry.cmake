# Runs at install time: the entry names the launcher by its absolute path
# under the prefix being installed to, which is only known now (a menu
# started from a fresh login may not yet have ~/.local/bin on its PATH).
set(launcher "${CMAKE_INSTALL_PREFIX}/bin/corvantis")
if(launcher MATCHES "^[A-Za-z0-9/._+-]+$")
  set(CV_DESKTOP_EXEC "${launcher}")
else()
  # A quoted argument of the Exec key: ", `, $ and \ are escaped inside the
  # quotes, then every \ once more for the string value, and % is doubled.
  string(REGEX REPLACE "([\"`$\\\\])" "\\\\\\1" quoted "${launcher}")
  string(REPLACE "\\" "\\\\" quoted "${quoted}")
  string(REPLACE "%" "%%" quoted "${quoted}")
  set(CV_DESKTOP_EXEC "\"${quoted}\"")
endif()
# One staging file per destination, so parallel installs never share one.
string(MD5 key "$ENV{DESTDIR}|${CMAKE_INSTALL_PREFIX}")
set(staged "${CV_DESKTOP_STAGING}/${key}/com.tallowmere.Corvantis.desktop")
configure_file("${CV_DESKTOP_TEMPLATE}" "${staged}" @ONLY)
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/share/applications" TYPE FILE FILES "${staged}")
