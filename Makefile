# The two everyday commands: `make run` and `make test`. Both install what is
# missing first (tools/setup.sh).
.PHONY: run test bench build clean

run:
	@bash tools/run.sh

test:
	@bash tools/test.sh

# Engine figures (several minutes; not part of the tests). BENCH_ARGS=--quick
# gives a short run.
bench:
	@bash tools/bench.sh $(BENCH_ARGS)

build:
	@bash tools/setup.sh && bash tools/build.sh x64 x86

clean:
	rm -rf build
