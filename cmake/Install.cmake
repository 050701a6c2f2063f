# `cmake --install` lays the whole bundle out under the prefix, with a desktop entry and icons:
#   <prefix>/lib/zorvik-pellwyn/ZorvikPellwyn.app/...       the bundle, as in the build
#   <prefix>/bin/zorvik-pellwyn                             a link to the bundle's executable
#   <prefix>/share/applications/zorvik-pellwyn.desktop
#   <prefix>/share/icons/hicolor/{scalable,NxN}/apps/zorvik-pellwyn.{svg,png}
# The installed launcher finds its bundle from its own real path, so nothing is configured at
# install time. The runtime links to the system's Python 3 at /usr/bin/python3.

set(ZP_INSTALL_BUNDLE "lib/zorvik-pellwyn/ZorvikPellwyn.app")
set(ZP_INSTALLED_EXECUTABLE "${CMAKE_INSTALL_PREFIX}/${ZP_INSTALL_BUNDLE}/Contents/MacOS/ZorvikPellwyn")
set(ZP_SYSTEM_PYTHON3 "/usr/bin/python3" CACHE FILEPATH "Python 3 the installed bundle's runtime links to")

install(TARGETS ZorvikPellwyn RUNTIME DESTINATION "${ZP_INSTALL_BUNDLE}/Contents/MacOS")
install(FILES "${ZP_BUNDLE_DIR}/Contents/Info.plist" DESTINATION "${ZP_INSTALL_BUNDLE}/Contents")
install(FILES "${ZP_SERVICE_SOURCE}" DESTINATION "${ZP_INSTALL_BUNDLE}/Contents/Resources/app/installer"
        RENAME preview_entry.py)
install(FILES "${ZP_SERVICE_SOURCE}"
        DESTINATION "${ZP_INSTALL_BUNDLE}/Contents/Resources/product/payload/deployment/product/ops"
        RENAME start-zorvik-local.py)
install(CODE "
  set(runtime \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${ZP_INSTALL_BUNDLE}/Contents/Resources/python/bin\")
  file(MAKE_DIRECTORY \"\${runtime}\")
  file(CREATE_LINK \"${ZP_SYSTEM_PYTHON3}\" \"\${runtime}/python3\" SYMBOLIC)
  file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin\")
  file(CREATE_LINK \"../${ZP_INSTALL_BUNDLE}/Contents/MacOS/ZorvikPellwyn\"
       \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/zorvik-pellwyn\" SYMBOLIC)
")

configure_file("${CMAKE_SOURCE_DIR}/packaging/zorvik-pellwyn.desktop.in"
               "${CMAKE_BINARY_DIR}/packaging/zorvik-pellwyn.desktop" @ONLY)
install(FILES "${CMAKE_BINARY_DIR}/packaging/zorvik-pellwyn.desktop" DESTINATION share/applications)

# The icon: the SVG as drawn, and PNG sizes rendered from it at build time.
set(ZP_ICON_SVG "${CMAKE_SOURCE_DIR}/packaging/zorvik-pellwyn.svg")
install(FILES "${ZP_ICON_SVG}" DESTINATION share/icons/hicolor/scalable/apps)
find_program(ZP_RSVG_CONVERT rsvg-convert)
if(ZP_RSVG_CONVERT)
  set(_zp_icons "")
  foreach(size 16 32 48 64 128 256)
    set(png "${CMAKE_BINARY_DIR}/packaging/icons/${size}x${size}/zorvik-pellwyn.png")
    add_custom_command(OUTPUT "${png}"
                       COMMAND ${CMAKE_COMMAND} -E make_directory "${CMAKE_BINARY_DIR}/packaging/icons/${size}x${size}"
                       COMMAND "${ZP_RSVG_CONVERT}" -w ${size} -h ${size} "${ZP_ICON_SVG}" -o "${png}"
                       DEPENDS "${ZP_ICON_SVG}" VERBATIM)
    list(APPEND _zp_icons "${png}")
    install(FILES "${png}" DESTINATION "share/icons/hicolor/${size}x${size}/apps")
  endforeach()
  add_custom_target(zp_icons ALL DEPENDS ${_zp_icons})
else()
  message(WARNING "rsvg-convert not found: only the scalable icon is installed (tools/install-deps installs it)")
endif()
