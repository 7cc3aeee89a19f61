# Thin front end over the CMake presets.
.PHONY: run test build clean

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

clean:
	rm -rf build
