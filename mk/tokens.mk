# Keys on PKCS#11 tokens: the `token` tests and the signing benchmark on a SoftHSM2 token.
TOKEN_PACKAGES := softhsm2 opensc p11-kit

.PHONY: test-tokens bench-tokens

test-tokens:
	@$(MAKE) --no-print-directory deps DEB_PACKAGES="$(DEB_PACKAGES) $(TOKEN_PACKAGES)"
	@$(MAKE) --no-print-directory build
	cd build/default && ctest --output-on-failure -j $(JOBS) --timeout 600 -L '^token$$'

# Signing through a page against `pkcs11-tool --sign` on the same token, in one run.
bench-tokens:
	@$(MAKE) --no-print-directory deps DEB_PACKAGES="$(DEB_PACKAGES) $(TOKEN_PACKAGES)"
	@$(MAKE) --no-print-directory build
	build/default/bin/bench_TokenSigningBench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
