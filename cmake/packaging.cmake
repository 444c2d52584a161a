# The Debian package: `cmake --build BUILD --target package` writes sonbar_VERSION_ARCH.deb.
# Its library dependencies come from dpkg-shlibdeps (package dpkg-dev).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME sonbar)
set(CPACK_PACKAGE_VENDOR "Sonbar developers")
set(CPACK_PACKAGE_CONTACT "Sonbar developers <dev@sonbar.org>")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://sonbar.org/")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${SONBAR_DEB_RELEASE})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "batch audio recoder for WAVE files")
set(CPACK_PACKAGE_DESCRIPTION
    "Sonbar recodes every WAVE file found in a list of source directories
into one chosen target format: PCM from 1,000 to 384,000 Hz in 8 to 32
bits, IEEE float, A-law, u-law, IMA and Microsoft ADPCM, GSM 6.10 or
MPEG Layer-3, all inside WAVE files. It fills target directories as
space runs out, links source to target directories or writes each file
back beside its source, deletes or moves the sources once their targets
are complete, and can watch its source directories as hot folders.
sonbar-cli runs the same engine without a display.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/packages)
include(CPack)
