# Lays out the application bundle around the executable:
#   ZorvikPellwyn.app/Contents/Info.plist
#   ZorvikPellwyn.app/Contents/MacOS/ZorvikPellwyn
#   ZorvikPellwyn.app/Contents/Resources/python/bin/python3 -> the build machine's Python 3

if(ZP_BUNDLE_MODE STREQUAL "")
  set(ZP_INFO_MODE_ENTRY "")
else()
  set(ZP_INFO_MODE_ENTRY "\t<key>ZPPellwynMode</key>\n\t<string>${ZP_BUNDLE_MODE}</string>\n")
endif()
if(NOT APPLE)  # on macOS the bundle's Info.plist comes from MACOSX_BUNDLE (cmake/MacOS.cmake)
  configure_file("${CMAKE_CURRENT_LIST_DIR}/Info.plist.in" "${ZP_BUNDLE_DIR}/Contents/Info.plist" @ONLY)
endif()

# Prefer a real interpreter over a version-manager shim: a shim costs tens of milliseconds
# at every start and may pick another Python depending on the working directory.
if(NOT ZP_PYTHON3)
  if(EXISTS /usr/bin/python3)
    set(_zp_python /usr/bin/python3)
  else()
    find_program(_zp_python python3 REQUIRED)
  endif()
  file(REAL_PATH "${_zp_python}" _zp_python_real)
  set(ZP_PYTHON3 "${_zp_python_real}" CACHE FILEPATH "Python 3 the bundle's runtime links to")
endif()
file(MAKE_DIRECTORY "${ZP_BUNDLE_DIR}/Contents/Resources/python/bin")
file(CREATE_LINK "${ZP_PYTHON3}" "${ZP_BUNDLE_DIR}/Contents/Resources/python/bin/python3" SYMBOLIC)

# The reference service, installed at both entry paths. The launcher never checks that they
# exist; the self-check does.
set(ZP_SERVICE_SOURCE "${CMAKE_SOURCE_DIR}/service/zorvik_service.py")
set(ZP_SERVICE_ENTRIES
  "${ZP_BUNDLE_DIR}/Contents/Resources/app/installer/preview_entry.py"
  "${ZP_BUNDLE_DIR}/Contents/Resources/product/payload/deployment/product/ops/start-zorvik-local.py")
set(_zp_service_copies "")
foreach(entry IN LISTS ZP_SERVICE_ENTRIES)
  list(APPEND _zp_service_copies COMMAND ${CMAKE_COMMAND} -E copy "${ZP_SERVICE_SOURCE}" "${entry}")
endforeach()
add_custom_command(OUTPUT ${ZP_SERVICE_ENTRIES} ${_zp_service_copies} DEPENDS "${ZP_SERVICE_SOURCE}"
                   COMMENT "Installing the reference service into the bundle")
add_custom_target(zp_bundle_service ALL DEPENDS ${ZP_SERVICE_ENTRIES})
