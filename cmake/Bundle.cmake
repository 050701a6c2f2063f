# Lays out the application bundle around the executable:
#   ZorvikPellwyn.app/Contents/Info.plist
#   ZorvikPellwyn.app/Contents/MacOS/ZorvikPellwyn
#   ZorvikPellwyn.app/Contents/Resources/python/bin/python3 -> the build machine's Python 3

if(ZP_BUNDLE_MODE STREQUAL "")
  set(ZP_INFO_MODE_ENTRY "")
else()
  set(ZP_INFO_MODE_ENTRY "\t<key>ZPPellwynMode</key>\n\t<string>${ZP_BUNDLE_MODE}</string>\n")
endif()
configure_file("${CMAKE_CURRENT_LIST_DIR}/Info.plist.in" "${ZP_BUNDLE_DIR}/Contents/Info.plist" @ONLY)

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
