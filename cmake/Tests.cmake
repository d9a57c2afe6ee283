# One test executable per source file, so that each area builds and runs on its own.
# tests/unit and tests/platform link the system's pieces directly; tests/integration
# and tests/interop drive the built plug-in through the host.
# Where the tests find the built host, plug-in and sources; the environment variables of the
# same names override these, so a test binary can be pointed at another build.
set(NPK_TEST_DEFINITIONS
  NPK_DEFAULT_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
  NPK_DEFAULT_BINARY_DIR="${CMAKE_BINARY_DIR}"
  NPK_DEFAULT_HOST="${CMAKE_BINARY_DIR}/bin/npkeystrand"
  NPK_DEFAULT_PLUGIN="${CMAKE_BINARY_DIR}/lib/libnpKeystrand.so")

function(npk_add_tests dir label)
  file(GLOB _srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/${dir}/*.cpp)
  foreach(src ${_srcs})
    get_filename_component(n ${src} NAME_WE)
    set(t test_${dir}_${n})
    add_executable(${t} ${src})
    target_include_directories(${t} PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR}/platform)
    target_compile_definitions(${t} PRIVATE ${NPK_TEST_DEFINITIONS})
    if(dir STREQUAL "host")
      target_link_libraries(${t} PRIVATE npk_host_core GTest::gtest GTest::gtest_main GTest::gmock)
    elseif(label STREQUAL "platform")
      # The layer is tested by itself, with the string tables it serves.
      target_sources(${t} PRIVATE $<TARGET_OBJECTS:npk_resources>)
      target_include_directories(${t} PRIVATE ${CMAKE_SOURCE_DIR})
      target_link_libraries(${t} PRIVATE npk_platform GTest::gtest GTest::gtest_main GTest::gmock OpenSSL::Crypto)
    else()
      target_link_libraries(${t} PRIVATE npk_system GTest::gtest GTest::gtest_main GTest::gmock OpenSSL::Crypto)
    endif()
    if(dir STREQUAL "gui")
      # The close box is asked for as a window manager would, with an X client message.
      find_package(X11 REQUIRED)
      target_link_libraries(${t} PRIVATE X11::X11)
    endif()
    if(dir STREQUAL "integration" OR dir STREQUAL "interop" OR dir STREQUAL "gui")
      add_dependencies(${t} npkeystrand npKeystrand)
    endif()
    gtest_discover_tests(${t}
      TEST_PREFIX "${label}."
      PROPERTIES LABELS ${label}
      DISCOVERY_TIMEOUT 60)
  endforeach()
endfunction()

npk_add_tests(unit unit)
npk_add_tests(platform platform)
npk_add_tests(host unit)
npk_add_tests(integration integration)
npk_add_tests(interop interop)
# The picker under Xvfb, driven with xdotool; each test starts and stops its own display.
npk_add_tests(gui gui)
# Pages of the Windows build under Wine, run by tools/run-wine-tests.sh (make test-wine).
npk_add_tests(wine wine)
# PKCS#11 tokens (SoftHSM2): `make test-tokens` installs what they need.
npk_add_tests(token token)
file(GLOB _npk_token_tests CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/token/*.cpp)
foreach(_src ${_npk_token_tests})
  get_filename_component(_n ${_src} NAME_WE)
  add_dependencies(test_token_${_n} npkeystrand npKeystrand)
  find_package(X11 REQUIRED)
  target_link_libraries(test_token_${_n} PRIVATE X11::X11)
endforeach()
# The native-messaging bridge, run as a browser runs it; one test loads a plug-in that aborts.
npk_add_tests(bridge integration)
add_library(npk_test_aborting_plugin SHARED ${CMAKE_SOURCE_DIR}/tests/bridge/plugin/AbortingPlugin.cpp)
target_include_directories(npk_test_aborting_plugin PRIVATE ${CMAKE_SOURCE_DIR}/npapi)
# Kept out of lib/, where the host's search would find it.
set_target_properties(npk_test_aborting_plugin PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/bridge)
file(GLOB _npk_bridge_tests CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/bridge/*.cpp)
foreach(_src ${_npk_bridge_tests})
  get_filename_component(_n ${_src} NAME_WE)
  target_link_libraries(test_bridge_${_n} PRIVATE npk_bridge)
  target_compile_definitions(test_bridge_${_n} PRIVATE
    NPK_DEFAULT_BRIDGE="${CMAKE_BINARY_DIR}/bin/npkeystrand-bridge"
    NPK_DEFAULT_ABORTING_PLUGIN="$<TARGET_FILE:npk_test_aborting_plugin>")
  add_dependencies(test_bridge_${_n} npkeystrand npkeystrand-bridge npKeystrand npk_test_aborting_plugin)
endforeach()
# A module in front of SoftHSM2 that reports a locked PIN, for the token tests.
add_library(npk_test_locked_pin MODULE ${CMAKE_SOURCE_DIR}/tests/token/modules/LockedPinModule.cpp)
target_include_directories(npk_test_locked_pin PRIVATE ${P11KIT_INCLUDE_DIRS})
target_link_libraries(npk_test_locked_pin PRIVATE ${CMAKE_DL_LIBS})
add_dependencies(test_token_TokenPages npk_test_locked_pin)
target_compile_definitions(test_token_TokenPages PRIVATE NPK_LOCKED_PIN_MODULE="$<TARGET_FILE:npk_test_locked_pin>")
# The extension in headless Chromium and Firefox ESR, and its browser-free pieces under Node
# (`make test-browsers` installs node, chromium and firefox-esr). NPK_BRIDGE_HOST and
# NPK_EXTENSION_DIR, when set, point the browser cases at installed files instead.
add_test(NAME browser.extension COMMAND node --test ${CMAKE_SOURCE_DIR}/tests/browser/core.test.mjs)
foreach(_browser chromium firefox)
  add_test(NAME browser.${_browser}
    COMMAND node ${CMAKE_SOURCE_DIR}/tests/browser/run.mjs ${_browser}
      --host ${CMAKE_BINARY_DIR}/bin/npkeystrand-bridge --extension ${CMAKE_SOURCE_DIR}/extension)
  set_tests_properties(browser.${_browser} PROPERTIES TIMEOUT 480 RUN_SERIAL ON)
endforeach()
set_tests_properties(browser.extension browser.chromium browser.firefox PROPERTIES LABELS browser)
