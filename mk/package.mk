# The Debian package: make package | make test-package [PACKAGE_BUILD=build/DIR]
# `package` builds the .deb with CPack in PACKAGE_BUILD and checks it with lintian;
# `test-package` installs it into this machine, checks the installed files and purges it again.

PACKAGE_BUILD ?= build/default
PACKAGE_TOOLS := dpkg-dev lintian file binutils

# npkeystrand_<version>_<arch>.deb, the version as CPack was given it by project().
PACKAGE_FILE = $(PACKAGE_BUILD)/npkeystrand_$$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$$/\1/p' \
	$(PACKAGE_BUILD)/CPackConfig.cmake)_$$(dpkg --print-architecture).deb

.PHONY: package-deps package test-package

package-deps:
	@$(MAKE) --no-print-directory deps DEB_PACKAGES="$(DEB_PACKAGES) $(PACKAGE_TOOLS)"

$(PACKAGE_BUILD)/build.ninja: | package-deps
	cmake --preset default -B $(PACKAGE_BUILD)

package: package-deps $(PACKAGE_BUILD)/build.ninja
	cmake --build $(PACKAGE_BUILD) -j $(JOBS)
	cd $(PACKAGE_BUILD) && cpack -G DEB
	lintian --fail-on error "$(PACKAGE_FILE)"

# The browser suite (mk/browsers.mk) runs against the installed files, so its browsers come first.
test-package: package
	@$(MAKE) --no-print-directory deps DEB_PACKAGES="$(DEB_PACKAGES) $(PACKAGE_TOOLS) $(BROWSER_PACKAGES)"
	tools/test-package.sh "$(PACKAGE_FILE)" $(PACKAGE_BUILD)
