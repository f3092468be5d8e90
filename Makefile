# make run   - install what is missing, build, start the server with its default settings
# make test  - install, build, run the whole suite and the browser walk (inside a private
#              network namespace); the suite replays every fuzz harness over its seeds and
#              saved findings once
# make build - build only
# make test-browser - the demo site's blog, screenshot and remote control in headless Chromium
# make soak  - mixed load on the program for SOAK_SECONDS (default 1800), then its checks
# make fuzz  - the libFuzzer harnesses of fuzz/, built with clang in build-fuzz, 60 s each
#              (CI, .ci/run, runs them for FUZZ_SECONDS_SHORT, 20 s each)
# make install - build, then install below PREFIX (default /usr/local); DESTDIR stages it
# make package - a Debian package of a Release build in build-pkg (build-pkg/tarvolin_*.deb)
# make clean - delete the build folders (never the settings or shared files of make run)

BUILD_DIR ?= build
PRESET ?= release

.PHONY: all deps build run test test-asan test-browser soak fuzz format-check clean \
	install package

all: build

deps:
	@./scripts/install-deps.sh

build:
	@[ -f $(BUILD_DIR)/CMakeCache.txt ] || cmake --preset $(PRESET) >/dev/null
	cmake --build $(BUILD_DIR)

run: deps build
	./scripts/run-server.sh

# The replays of the fuzz harnesses take FuzzedDataProvider.h from clang's runtimes ("fuzz").
test: deps
	@./scripts/install-deps.sh browser
	@./scripts/install-deps.sh fuzz
	./scripts/run-tests.sh

test-asan: deps
	@./scripts/install-deps.sh fuzz
	./scripts/run-tests.sh asan

test-browser: deps
	@./scripts/install-deps.sh browser
	$(MAKE) build
	./tests/browser/walk.sh
	./tests/browser/video.sh

# SOAK_SECONDS=600 make soak runs it shorter; tests/soak/soak.sh tells more.
soak: deps build
	BUILD=$(BUILD_DIR) ./tests/soak/soak.sh

# FUZZ_SECONDS=600 make fuzz runs each harness longer; fuzz/README.md tells more.
fuzz:
	@./scripts/install-deps.sh fuzz
	./fuzz/run.sh

# The programs, the menu entry and its icon, the README (packaging/CMakeLists.txt).
PREFIX ?= /usr/local
PKG_BUILD_DIR ?= build-pkg

install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) --prefix "$(PREFIX)" --strip

# Its own Release folder without the tests, so the package never waits for the suites.
package:
	@[ -f $(PKG_BUILD_DIR)/CMakeCache.txt ] || cmake -S . -B $(PKG_BUILD_DIR) -G Ninja \
		-DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
	cmake --build $(PKG_BUILD_DIR)
	cd $(PKG_BUILD_DIR) && cpack

format-check:
	clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.h')

# Settings or shared files that an older `make run`, or the program started by hand, left
# beside the program would go with its folder: refuse unless FORCE=1.
CLEAN_DIRS = build build-asan build-headless build-pkg

clean:
	@for kept in $(foreach d,$(CLEAN_DIRS),$(d)/TVN.cfg $(d)/Tarvolin); do \
		if [ -e "$$kept" ] && [ "$(FORCE)" != 1 ]; then \
			echo "make clean: $$kept holds settings or shared files; move it out of the way," \
				"or delete it with everything else: make clean FORCE=1" >&2; \
			exit 1; \
		fi; \
	done
	rm -rf $(CLEAN_DIRS)
