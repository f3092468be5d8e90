# make run   - install what is missing, build, start the server with its default settings
# make test  - install, build, run the whole suite (inside a private network namespace)
# make build - build only

BUILD_DIR ?= build
PRESET ?= release

.PHONY: all deps build run test test-asan format-check clean

all: build

deps:
	@./scripts/install-deps.sh

build:
	@[ -f $(BUILD_DIR)/CMakeCache.txt ] || cmake --preset $(PRESET) >/dev/null
	cmake --build $(BUILD_DIR)

run: deps build
	./scripts/run-server.sh

test: deps
	./scripts/run-tests.sh

test-asan: deps
	./scripts/run-tests.sh asan

format-check:
	clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build build-asan build-headless
