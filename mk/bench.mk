# Benchmarks (included by the Makefile), run by hand:
#   make bench-this-machine   the module against psutil and df -a on mounts of
#                             this machine that it makes in a mount namespace of
#                             its own (bench/bench_this_machine.py), as root;
#                             ARGS="--case N --quick" runs a part, with smaller counts
# The README's "Speed" section says what each measures.

# Mounting needs root.
AS_ROOT := $(if $(filter 0,$(shell id -u)),,sudo)

.PHONY: setup-bench bench-this-machine

setup-bench:
	@bash tools/setup-fidelity.sh bench

bench-this-machine: build setup-bench
	$(AS_ROOT) /usr/bin/python3 bench/bench_this_machine.py --python2 $(PYTHON) --package-dir $(BUILD)/python $(ARGS)
