# make        set up the machine (once) and build the package tree build/python/
# make demo   ... and run the example program on the default machine
# make test   ... and run every test through CTest
# make debug  build for the debug interpreter into build/python-dbg/
# make bench-this-machine   the benchmark on mounts of this machine (mk/bench.mk)

PYTHON      := /usr/bin/python2.7
PYTHON_DBG  := /usr/bin/python2.7-dbg
BUILD       := $(CURDIR)/build
JOBS        ?= $(shell nproc)
# Every build directory of the project is configured with this: warnings are
# errors in the project's own builds.
CONFIGURE   := cmake -G Ninja -DWINDOWS_VOLUMES_WERROR=ON

.PHONY: all setup build demo test debug clean

all: build

setup:
	@bash tools/setup.sh

$(BUILD)/cmake/build.ninja: | setup
	$(CONFIGURE) -S . -B $(BUILD)/cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DPython2_EXECUTABLE=$(PYTHON) -DPACKAGE_DIR=$(BUILD)/python

build: setup $(BUILD)/cmake/build.ninja
	cmake --build $(BUILD)/cmake -j $(JOBS)

demo: build
	PYTHONPATH=$(BUILD)/python $(PYTHON) examples/demo.py $(ARGS)

test: build
	cd $(BUILD)/cmake && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD)

include mk/soundness.mk
include mk/fidelity.mk
include mk/bench.mk
