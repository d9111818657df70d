# The two commands a newcomer needs: `make test` and `make demo`.
BUILD ?= build
WINBUILD ?= build-windows
JOBS  ?= $(shell nproc)

.PHONY: all deps build windows windows-package test demo bench clean

all: build

deps:
	@scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j$(JOBS)

# The Windows build: the same sources cross-built with mingw-w64 (cmake/mingw-w64.cmake), its
# tests run under wine64 (scripts/wine-run). docs/platforms.md.
windows: deps
	cmake -S . -B $(WINBUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
	  -DTAV_LINUX_BUILD=$(abspath $(BUILD))
	cmake --build $(WINBUILD) -j$(JOBS)

# The package an office runs: build-windows/tav_setup-<release>-win64.zip (scripts/windows-package).
windows-package: windows
	scripts/windows-package $(WINBUILD)

# Both builds' tests run even when the first has a failure; either failing fails `make test`.
test: build windows
	@status=0; \
	(cd $(BUILD) && ctest --output-on-failure -j$(JOBS)) || status=1; \
	(cd $(WINBUILD) && ctest --output-on-failure -j$(JOBS)) || status=1; \
	exit $$status

# The demo builds quietly (the build's own lines go to $(BUILD).log) and then shows only itself.
demo: deps
	@echo "== building the tool (its lines in $(BUILD).log)"
	@{ cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release && cmake --build $(BUILD) -j$(JOBS); } \
	  > $(BUILD).log 2>&1 || { tail -n 40 $(BUILD).log; exit 1; }
	@scripts/demo $(BUILD)

bench: build
	@for b in $(BUILD)/bench/bench_*; do [ -x "$$b" ] && "$$b"; done

clean:
	rm -rf $(BUILD) $(WINBUILD)
