# The two commands that work on a fresh Debian machine (as root):
#   make test   installs what is missing, builds both targets, runs every test
#   make demo   builds both targets and runs the sample host under Wine
# the benchmarks and the release archives:
#   make bench
#   make dist   dist/vextra-<version>-windows-x64.zip and -linux-x64.tar.gz
.PHONY: test demo bench dist clean

test:
	bash scripts/run_tests.sh

demo:
	bash scripts/run_demo.sh

bench:
	bash scripts/run_bench.sh

dist:
	bash scripts/make_dist.sh dist

clean:
	rm -rf build dist
