# Tokens on Linux: the smart-card provider over PKCS#11 (platform/pkcs11) is part of the
# provider library, whose hooks open token keys. Its PIN dialog is GTK 3. p11-kit-1 (the
# PKCS#11 header and the proxy module's path) comes with gcr's development package, which
# the picker needs already.
find_package(PkgConfig REQUIRED)
pkg_check_modules(P11KIT REQUIRED p11-kit-1)
pkg_check_modules(NPK_PIN_GTK REQUIRED IMPORTED_TARGET gtk+-3.0)
pkg_get_variable(NPK_P11_KIT_PROXY p11-kit-1 proxy_module)
if(NOT NPK_P11_KIT_PROXY)
  set(NPK_P11_KIT_PROXY "p11-kit-proxy.so")
endif()
npk_sources(_npk_pkcs11_sources platform/pkcs11)
target_sources(npk_platform_advapi32 PRIVATE ${_npk_pkcs11_sources})
target_include_directories(npk_platform_advapi32 PRIVATE ${P11KIT_INCLUDE_DIRS})
target_compile_definitions(npk_platform_advapi32 PRIVATE NPK_P11_KIT_PROXY="${NPK_P11_KIT_PROXY}")
target_link_libraries(npk_platform_advapi32 PUBLIC PkgConfig::NPK_PIN_GTK)
