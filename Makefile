# The two everyday commands: `make demo` runs the whole system on a simulated Windows machine,
# `make test` builds every target (Linux and Windows) and runs every test. Both install the
# Debian packages they need first.

.PHONY: all deps demo test test-tsan bench format clean

all: test

deps:
	@scripts/install-deps.sh

demo: deps
	cmake --preset release >/dev/null
	cmake --build --preset release
	scripts/demo.sh build/release

test: deps
	cmake --preset debug >/dev/null
	cmake --build --preset debug
	ctest --preset debug
	cmake --preset windows >/dev/null
	cmake --build --preset windows
	ctest --preset windows

test-tsan: deps
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan
	ctest --preset tsan

bench: deps
	cmake --preset release >/dev/null
	cmake --build --preset release
	scripts/bench.sh build/release

format:
	git ls-files '*.h' '*.cpp' '*.c' | xargs clang-format -i

clean:
	rm -rf build
