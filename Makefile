# The two commands that work on a fresh Debian machine (as root):
#   make test   installs what is missing, builds both targets, runs every test
#   make demo   builds both targets and runs the sample host under Wine
# and the benchmarks:
#   make bench
# and the fuzzers, each for VEXTRA_FUZZ_SECONDS (default 60):
#   make fuzz
.PHONY: test demo bench fuzz clean

test:
	bash scripts/run_tests.sh

demo:
	bash scripts/run_demo.sh

bench:
	bash scripts/run_bench.sh

fuzz:
	bash scripts/run_fuzz.sh

clean:
	rm -rf build
