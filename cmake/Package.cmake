# `make package`: one Debian package per mode, named after it. Its shared-library dependencies
# are derived with dpkg-shlibdeps; python3 and a CJK font are added by hand.
if(ZP_BUNDLE_MODE STREQUAL "connected")
  set(_zp_package_mode connected)
  set(_zp_other_mode preview)
else()
  set(_zp_package_mode preview)
  set(_zp_other_mode connected)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME "zorvik-pellwyn-${_zp_package_mode}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "ZorvikPellwyn")
set(CPACK_PACKAGE_CONTACT "ZorvikPellwyn developers <dev@zorvik-pellwyn.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "ZorvikPellwyn launcher (${_zp_package_mode} mode)")
set(CPACK_PACKAGE_DESCRIPTION "Starts the bundled local Pellwyn service, opens its page in the browser,
and quits only once the service agrees that no work would be lost.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt finds its platform plugins at run time, so dpkg-shlibdeps cannot see that dependency.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3 (>= 3.9), qt6-qpa-plugins, fonts-wqy-microhei | fonts-noto-cjk")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
# Both modes install the same bundle path.
set(CPACK_DEBIAN_PACKAGE_CONFLICTS "zorvik-pellwyn-${_zp_other_mode}")
set(CPACK_DEBIAN_PACKAGE_REPLACES "zorvik-pellwyn-${_zp_other_mode}")
set(CPACK_STRIP_FILES ON)
include(CPack)
