# The two entry points of the README. Everything else is CMake's business.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)

.PHONY: all run test build bootstrap clean package install

all: build

bootstrap:
	@scripts/bootstrap --check 2>/dev/null || scripts/bootstrap

build: bootstrap
	@test -f $(BUILD_DIR)/build.ninja || cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	$(BUILD_DIR)/Vellora/app/vellora

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 600

# System-wide, from the build `make` made: `sudo make install` (into
# /usr/local), or PREFIX=<folder>. It builds nothing, so that root compiles
# nothing into the user's build folder (it writes install_manifest.txt there).
PREFIX ?= /usr/local
install:
	@test -x $(BUILD_DIR)/Vellora/app/vellora || { echo "make install: nothing built in $(BUILD_DIR); run make first" >&2; exit 1; }
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

package: build
	cmake --build $(BUILD_DIR) --target release-archive

clean:
	rm -rf $(BUILD_DIR)
