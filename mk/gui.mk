# The picker under Xvfb with everything its cases need: make test-gui
# Besides what `make test` installs, the certificate viewer's Chinese and Korean texts come from
# gcr's translations (package gcr) and need the zh_CN.UTF-8 and ko_KR.UTF-8 locales, which are
# generated here; without them `make test` skips the viewer's language case.
GUI_PACKAGES := gcr locales
GUI_LOCALES := zh_CN ko_KR

.PHONY: gui-deps test-gui

gui-deps:
	@$(MAKE) --no-print-directory deps DEB_PACKAGES="$(DEB_PACKAGES) $(GUI_PACKAGES)"
	@SUDO=""; [ "$$(id -u)" -ne 0 ] && SUDO=sudo; \
	for l in $(GUI_LOCALES); do \
	  locale -a 2>/dev/null | grep -qix "$$l.utf8" || { echo "Generating $$l.UTF-8"; $$SUDO localedef -i $$l -f UTF-8 $$l.UTF-8; }; \
	done

test-gui: gui-deps
	@$(MAKE) --no-print-directory build
	cd build/default && ctest --output-on-failure -j $(JOBS) --timeout 600 -L '^gui$$'
