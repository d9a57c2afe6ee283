# Install rules and the Debian package built by CPack (`make package`).
#
# Installed files find each other from the installed host's own place, never from the build
# tree: bin/npkeystrand loads the plug-in from ../lib/mozilla/plugins (the Unix NPAPI
# directory, where browsers look too) and reads the event format texts from
# ../share/npkeystrand/formats. These two places are therefore fixed relative to the prefix;
# everything else follows GNUInstallDirs.
if(NPK_FUZZ)
  return()
endif()

# The package's name is lower case, and so is its documentation directory.
set(CMAKE_INSTALL_DOCDIR share/doc/npkeystrand CACHE PATH "Documentation root (DOCDIR)")
include(GNUInstallDirs)

set(NPK_INSTALL_PLUGINDIR lib/mozilla/plugins)
set(NPK_INSTALL_DATADIR share/npkeystrand)
set(NPK_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(NPK_PACKAGING_OUT ${CMAKE_BINARY_DIR}/packaging)

# Installed binaries carry no run path: every library they need is a system one.
set(CMAKE_SKIP_INSTALL_RPATH ON)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# Debian's hardening: relocations read-only and bound at start-up.
set(NPK_HARDENING_LINK_OPTIONS -Wl,-z,relro -Wl,-z,now)
target_link_options(npkeystrand PRIVATE ${NPK_HARDENING_LINK_OPTIONS})
target_link_options(npKeystrand PRIVATE ${NPK_HARDENING_LINK_OPTIONS})

install(TARGETS npkeystrand RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# A plug-in is loaded, never run: no execute bit.
install(TARGETS npKeystrand LIBRARY DESTINATION ${NPK_INSTALL_PLUGINDIR}
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(FILES ${NPK_FORMAT_FILES} DESTINATION ${NPK_INSTALL_DATADIR}/formats)

# The example pages, with the few test certificates they name, so that a copy of the directory
# runs as the pages run from the repository's top (the plug-in reads no page files under /usr).
file(GLOB NPK_EXAMPLE_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/examples/*.js)
install(FILES ${NPK_EXAMPLE_FILES} DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES
  ${CMAKE_SOURCE_DIR}/tests/data/signer.pfx ${CMAKE_SOURCE_DIR}/tests/data/recipient.cer
  ${CMAKE_SOURCE_DIR}/tests/data/recipient.pfx ${CMAKE_SOURCE_DIR}/tests/data/nokeyid.cer
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples/tests/data)

# The man pages and the Debian changelog, compressed as Debian wants them (gzip -9, no name or
# time stamp in the header, so the same sources give the same bytes). They carry the version of
# project().
configure_file(${NPK_PACKAGING_DIR}/changelog.in ${NPK_PACKAGING_OUT}/changelog @ONLY)
set(NPK_COMPRESSED_DOCS ${NPK_PACKAGING_OUT}/changelog.gz)
add_custom_command(OUTPUT ${NPK_PACKAGING_OUT}/changelog.gz
  COMMAND gzip -9 -n -c ${NPK_PACKAGING_OUT}/changelog > ${NPK_PACKAGING_OUT}/changelog.gz
  DEPENDS ${NPK_PACKAGING_OUT}/changelog)
foreach(page npkeystrand npkeystrand-bridge)
  configure_file(${CMAKE_SOURCE_DIR}/docs/${page}.1 ${NPK_PACKAGING_OUT}/${page}.1 @ONLY)
  add_custom_command(OUTPUT ${NPK_PACKAGING_OUT}/${page}.1.gz
    COMMAND gzip -9 -n -c ${NPK_PACKAGING_OUT}/${page}.1 > ${NPK_PACKAGING_OUT}/${page}.1.gz
    DEPENDS ${NPK_PACKAGING_OUT}/${page}.1)
  list(APPEND NPK_COMPRESSED_DOCS ${NPK_PACKAGING_OUT}/${page}.1.gz)
endforeach()
install(FILES ${NPK_PACKAGING_OUT}/npkeystrand.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
add_custom_target(npk_install_docs ALL DEPENDS ${NPK_COMPRESSED_DOCS})
install(FILES ${NPK_PACKAGING_OUT}/changelog.gz ${NPK_PACKAGING_DIR}/copyright
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The unpacked extension, which the native-messaging manifests name by its id.
if(EXISTS ${CMAKE_SOURCE_DIR}/extension/manifest.json)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/extension/ DESTINATION ${NPK_INSTALL_DATADIR}/extension
    PATTERN test EXCLUDE PATTERN tests EXCLUDE PATTERN node_modules EXCLUDE
    PATTERN package.json EXCLUDE PATTERN package-lock.json EXCLUDE PATTERN ".*" EXCLUDE
    PATTERN "make-*" EXCLUDE)
endif()

# The system-wide native-messaging manifests. They name the bridge by its absolute path, so
# they are written only for an install into /usr (the package, or `cmake --install --prefix
# /usr`); any other prefix leaves /etc alone and the user runs `npkeystrand register --user`.
set(NPK_NATIVE_HOST_NAME org.npkeystrand.bridge)
set(NPK_CHROMIUM_MANIFEST_DIRS /etc/chromium/native-messaging-hosts /etc/opt/chrome/native-messaging-hosts)
set(NPK_FIREFOX_MANIFEST_DIR /usr/lib/mozilla/native-messaging-hosts)

# The bridge may be defined anywhere in this directory: its rules are added once every target is.
function(npk_install_bridge)
  if(NOT TARGET npkeystrand-bridge)
    return()
  endif()
  target_link_options(npkeystrand-bridge PRIVATE ${NPK_HARDENING_LINK_OPTIONS})
  install(TARGETS npkeystrand-bridge RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${NPK_PACKAGING_OUT}/npkeystrand-bridge.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  set(NPK_BRIDGE_PATH /usr/${CMAKE_INSTALL_BINDIR}/npkeystrand-bridge)
  configure_file(${NPK_PACKAGING_DIR}/native-messaging/chromium.json.in
    ${NPK_PACKAGING_OUT}/chromium/${NPK_NATIVE_HOST_NAME}.json @ONLY)
  configure_file(${NPK_PACKAGING_DIR}/native-messaging/firefox.json.in
    ${NPK_PACKAGING_OUT}/firefox/${NPK_NATIVE_HOST_NAME}.json @ONLY)
  set(_code "if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")\n")
  foreach(dir ${NPK_CHROMIUM_MANIFEST_DIRS})
    string(APPEND _code "  file(INSTALL DESTINATION \"${dir}\" TYPE FILE"
      " FILES \"${NPK_PACKAGING_OUT}/chromium/${NPK_NATIVE_HOST_NAME}.json\")\n")
  endforeach()
  string(APPEND _code "  file(INSTALL DESTINATION \"${NPK_FIREFOX_MANIFEST_DIR}\" TYPE FILE"
    " FILES \"${NPK_PACKAGING_OUT}/firefox/${NPK_NATIVE_HOST_NAME}.json\")\n"
    # Chrome's directory lies in /etc/opt, which lintian reserves for software in /opt.
    "  file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/lintian/overrides\" TYPE FILE"
    " FILES \"${NPK_PACKAGING_DIR}/lintian-overrides\" RENAME npkeystrand)\n"
    "else()\n"
    "  message(STATUS \"Native-messaging manifests: not for prefix \${CMAKE_INSTALL_PREFIX};"
    " run npkeystrand register --user\")\n"
    "endif()\n")
  install(CODE "${_code}")
  # Every file in /etc is a configuration file of the package.
  set(_conffiles)
  foreach(dir ${NPK_CHROMIUM_MANIFEST_DIRS})
    string(APPEND _conffiles "${dir}/${NPK_NATIVE_HOST_NAME}.json\n")
  endforeach()
  file(WRITE ${NPK_PACKAGING_OUT}/control/conffiles "${_conffiles}")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${NPK_PACKAGING_OUT}/control/conffiles PARENT_SCOPE)
endfunction()

# The Debian package: one place for its version, project(VERSION).
function(npk_package)
  npk_install_bridge()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME npkeystrand)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_VENDOR "npKeystrand developers")
  set(CPACK_PACKAGE_CONTACT "npKeystrand developers <maintainers@npkeystrand.org>")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "web page access to the user's X.509 certificates (NPAPI plug-in)")
  set(CPACK_PACKAGE_DESCRIPTION [[
npKeystrand lets the scripts of a web page use the user's X.509
certificates: choose a certificate from the user's stores with a picker,
from a PFX file or from a certificate file; sign and verify texts and files
as PKCS#7 or PKCS#1 signatures; encrypt and decrypt PKCS#7 envelopes.

The package holds the NPAPI plug-in, the npkeystrand command (a browser of
its own that runs page scripts against the plug-in and manages the
certificate stores and event tracing) and, where built, the
native-messaging bridge and the browser extension through which Chromium
and Firefox reach the plug-in.]])
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION web)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
  include(CPack)
endfunction()

cmake_language(DEFER CALL npk_package)
