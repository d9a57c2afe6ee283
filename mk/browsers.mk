# The WebExtension end to end in headless Chromium and Firefox ESR (Debian's packages), and
# the round trip of a call through the extension against the same call under npkeystrand run.
BROWSER_PACKAGES := nodejs chromium firefox-esr

.PHONY: test-browsers bench-browsers

test-browsers:
	@$(MAKE) --no-print-directory deps DEB_PACKAGES="$(DEB_PACKAGES) $(BROWSER_PACKAGES)"
	@$(MAKE) --no-print-directory build
	cd build/default && ctest --output-on-failure --timeout 600 -L '^browser$$'

bench-browsers:
	@$(MAKE) --no-print-directory deps DEB_PACKAGES="$(DEB_PACKAGES) $(BROWSER_PACKAGES)"
	@$(MAKE) --no-print-directory build
	node bench/browser-roundtrip.mjs --host build/default/bin/npkeystrand-bridge
