# macOS: the same sources as a real .app through MACOSX_BUNDLE, its Info.plist from a template
# that carries ZPPellwynMode, and a disk image from `cpack -G DragNDrop`. Only configured on
# Apple platforms; the Linux build lays the same bundle out by hand (cmake/Bundle.cmake).
set(CMAKE_OSX_DEPLOYMENT_TARGET "11.0" CACHE STRING "Oldest macOS the launcher runs on")
set_target_properties(ZorvikPellwyn PROPERTIES
  MACOSX_BUNDLE TRUE
  RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}"
  MACOSX_BUNDLE_INFO_PLIST "${CMAKE_SOURCE_DIR}/packaging/macos/Info.plist.in"
  MACOSX_BUNDLE_BUNDLE_NAME "ZorvikPellwyn"
  MACOSX_BUNDLE_GUI_IDENTIFIER "invalid.zorvik.pellwyn.${ZP_BUNDLE_MODE}"
  MACOSX_BUNDLE_SHORT_VERSION_STRING "${PROJECT_VERSION}"
  MACOSX_BUNDLE_BUNDLE_VERSION "${PROJECT_VERSION}"
  MACOSX_BUNDLE_ICON_FILE "")

# The reference service at both entry paths; the runtime links to the build machine's Python 3
# for development. A shipped bundle carries a relocatable Python of its own at that path.
set(_zp_resources "$<TARGET_BUNDLE_CONTENT_DIR:ZorvikPellwyn>/Resources")
add_custom_command(TARGET ZorvikPellwyn POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E make_directory "${_zp_resources}/app/installer"
  COMMAND ${CMAKE_COMMAND} -E copy "${ZP_SERVICE_SOURCE}" "${_zp_resources}/app/installer/preview_entry.py"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${_zp_resources}/product/payload/deployment/product/ops"
  COMMAND ${CMAKE_COMMAND} -E copy "${ZP_SERVICE_SOURCE}"
          "${_zp_resources}/product/payload/deployment/product/ops/start-zorvik-local.py"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${_zp_resources}/python/bin"
  COMMAND ${CMAKE_COMMAND} -E create_symlink "${ZP_PYTHON3}" "${_zp_resources}/python/bin/python3"
  VERBATIM)

install(TARGETS ZorvikPellwyn BUNDLE DESTINATION .)
set(CPACK_GENERATOR DragNDrop)
set(CPACK_PACKAGE_NAME "ZorvikPellwyn")
set(CPACK_PACKAGE_FILE_NAME "ZorvikPellwyn-${PROJECT_VERSION}-${ZP_BUNDLE_MODE}")
include(CPack)
