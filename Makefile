# The two everyday commands: `make run` and `make test`. Both install what is
# missing first (tools/setup.sh).
.PHONY: run test bench build dist soak screenshots release clean

run:
	@bash tools/run.sh

test:
	@bash tools/test.sh

# Engine figures (several minutes; not part of the tests). BENCH_ARGS=--quick
# gives a short run.
bench:
	@bash tools/bench.sh $(BENCH_ARGS)

# Portable zips and per-user installers for both builds in dist/, each tried
# in a fresh Wine prefix.
dist:
	@bash tools/dist.sh

# The README's pictures retaken from the current program (changes docs/;
# the test command never does).
screenshots:
	@bash tools/screenshots.sh

# A release: the README's pictures retaken, then the packages made and tried.
# Commit the new pictures with the release.
release:
	@bash tools/screenshots.sh && bash tools/dist.sh

# Tollwick against ten misbehaving programs (10 minutes; SOAK_ARGS=--minutes N
# for another length). Not part of the tests.
soak:
	@bash tools/soak.sh $(SOAK_ARGS)

build:
	@bash tools/setup.sh && bash tools/build.sh x64 x86

clean:
	rm -rf build dist
