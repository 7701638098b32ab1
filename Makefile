# The two everyday commands: `make run` and `make test`. Both install what is
# missing first (tools/setup.sh).
.PHONY: run test build clean

run:
	@bash tools/run.sh

test:
	@bash tools/test.sh

build:
	@bash tools/setup.sh && bash tools/build.sh x64 x86

clean:
	rm -rf build
