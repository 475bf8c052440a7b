# Thin wrapper over CMake. Every target installs missing Debian packages first.

UBSAN_ENV := UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

.PHONY: build run demo package test stress test-tsan bench clean

build:
	tools/install-deps.sh
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build -j2

run: build
	./build/vistamo

demo: build
	tools/demo.sh build

# The Debian package, build-package/vistamo_<version>_amd64.deb: a Release
# build of the product alone.
package:
	tools/install-deps.sh
	tools/build-package.sh build-package

# The suite under openbox, the cases labelled wm again under mutter and under
# xfwm4, then the package: lintian, and the installed program started.
test:
	tools/install-deps.sh
	cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug '-DVISTAMO_SANITIZE=address;undefined'
	cmake --build build-test -j2
	$(UBSAN_ENV) tools/run-tests.sh --also-wm mutter --also-wm xfwm4 build-test -j2
	tools/build-package.sh build-package
	tools/check-package.sh build-package

# 1000 plug/pull cycles of the virtual stick while it streams (about half an
# hour): longer than ctest's limit per case, so the case runs on its own.
stress:
	tools/install-deps.sh
	cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug '-DVISTAMO_SANITIZE=address;undefined'
	cmake --build build-test -j2 --target test_hot_plug
	$(UBSAN_ENV) VISTAMO_STRESS_CYCLES=1000 bash -c 'source tools/xsession.sh && xsession_start && \
	  build-test/tests/test_hot_plug --gtest_filter=HotPlug.StressPlugAndPullWhileStreaming'

test-tsan:
	tools/install-deps.sh
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DVISTAMO_SANITIZE=thread
	cmake --build build-tsan -j2
	tools/run-tests.sh build-tsan -L threads --no-tests=ignore -j2

bench:
	tools/install-deps.sh
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVISTAMO_BENCH=ON -DVISTAMO_TESTS=OFF
	cmake --build build-bench -j2
	tools/run-bench.sh build-bench

clean:
	rm -rf build build-test build-tsan build-bench build-package
