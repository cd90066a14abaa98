# make run   — install what is missing, build, start the program
# make test  — install what is missing, build with warnings as errors, run every test, check the format
# make bench — optimised build and the benchmarks
# make package — optimised build and the Debian package (build/package/*.deb)
.PHONY: deps run test bench package clean

deps:
	bash scripts/install-deps.sh

# The program and the demo tables its default alias copies; the tests are make test's.
run: deps
	cmake --preset dev
	cmake --build --preset dev --target qel-db-rekasto demo-tables
	./build/dev/src/main/qel-db-rekasto

test: deps
	cmake --preset ci
	cmake --build --preset ci
	ctest --preset ci
	bash scripts/check-format.sh

bench: deps
	cmake --preset release
	cmake --build --preset release
	bash bench/run.sh build/release

package: deps
	cmake --preset package
	cmake --build --preset package --target package

clean:
	rm -rf build
