# Thin front end over the CMake presets.
.PHONY: run test build fuzz bench install clean

run:
	scripts/install-deps.sh build
	cmake --preset release
	cmake --build --preset release
	./build/release/talvex_composite_deploy examples/demo.cplace

build:
	scripts/install-deps.sh build
	cmake --preset release
	cmake --build --preset release

test:
	scripts/install-deps.sh test
	cmake --preset test
	cmake --build --preset test
	ctest --preset test

# Fuzz every target for FUZZ_SECONDS each (default: a few minutes).
fuzz:
	scripts/fuzz.sh

bench:
	scripts/bench.sh

# Installs under PREFIX (default /usr/local).
install:
	scripts/install-deps.sh build
	cmake --preset release -DCMAKE_INSTALL_PREFIX=$(or $(PREFIX),/usr/local)
	cmake --build --preset release
	cmake --install build/release

clean:
	rm -rf build
