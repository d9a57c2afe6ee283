# make test-wine: the real DLL under Wine 8 (Debian's wine and wine32, i386 multi-arch). The
# page suites of a Linux build run against npkeystrand.exe of the Windows build in a fresh
# 32-bit prefix under build/, the Win32 picker under Xvfb; tools/run-wine-tests.sh reports
# each test as passed, failed or skipped (with the Wine gap from tests/wine/pages.list).

WINE_PACKAGES := wine wine32:i386
WINE_SUITES = $(shell awk '$$1 == "suite" { print $$2 }' tests/wine/pages.list)

.PHONY: wine-deps test-wine

wine-deps:
	@if ! dpkg --print-foreign-architectures | grep -qx i386; then \
	  SUDO=""; [ "$$(id -u)" -ne 0 ] && SUDO=sudo; \
	  echo "Adding the i386 architecture for wine32"; \
	  $$SUDO dpkg --add-architecture i386; \
	fi
	@$(MAKE) --no-print-directory deps DEB_PACKAGES="$(DEB_PACKAGES) $(WINE_PACKAGES)"

test-wine: wine-deps build/default/build.ninja
	cmake --build build/default -j $(JOBS) --target $(WINE_SUITES)
	@$(MAKE) --no-print-directory windows
	tools/run-wine-tests.sh build/default build/windows
