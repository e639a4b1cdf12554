# Soundness passes (included by the Makefile):
#   make debug          build for the debug interpreter into build/python-dbg/
#   make test-debug     ... and run the whole suite under python2.7-dbg
#   make test-sanitize  build with AddressSanitizer and UndefinedBehaviorSanitizer
#                       into build/python-asan/ and run the whole suite there
#   make test-refcounts / test-fault-sweep / test-hostile / test-threads
#                       one soundness test in the debug pass
# docs/soundness.md says what each pass shows and how long it takes.

BUILD_DBG    := $(BUILD)/cmake-dbg
PACKAGE_DBG  := $(BUILD)/python-dbg
BUILD_ASAN   := $(BUILD)/cmake-asan
PACKAGE_ASAN := $(BUILD)/python-asan
# Every report of a sanitized run lands here; any file in it fails the run.
ASAN_REPORTS := $(BUILD_ASAN)/sanitizer-reports

SANITIZE_FLAGS := -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined
# The interpreter is not instrumented: the runtime comes first into its process,
# with the C++ runtime beside it so that it can intercept C++ throws from the
# start. An allocation that cannot be served returns null, as the C library's
# would. Leaks are checked with the interpreter's own allocations suppressed
# (mk/lsan.supp), so that the project's C heap is what is left.
ASAN_ENVIRONMENT = LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
    ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:allocator_may_return_null=1:log_path=$(ASAN_REPORTS)/asan \
    LSAN_OPTIONS=suppressions=$(CURDIR)/mk/lsan.supp:print_suppressions=0 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$(ASAN_REPORTS)/ubsan

.PHONY: debug test-debug sanitize test-sanitize test-refcounts test-fault-sweep test-hostile test-threads

$(BUILD_DBG)/build.ninja: | setup
	$(CONFIGURE) -S . -B $(BUILD_DBG) -DCMAKE_BUILD_TYPE=Debug \
	    -DPython2_EXECUTABLE=$(PYTHON_DBG) -DPACKAGE_DIR=$(PACKAGE_DBG) -DTEST_LABELS=debug

debug: setup $(BUILD_DBG)/build.ninja
	cmake --build $(BUILD_DBG) -j $(JOBS)

test-debug: debug
	cd $(BUILD_DBG) && ctest --output-on-failure -j $(JOBS)

# One soundness test, in the debug pass, by its CTest label.
test-refcounts: LABEL := refcounts
test-fault-sweep: LABEL := fault_sweep
test-hostile: LABEL := hostile_arguments
test-threads: LABEL := thread_stress
test-refcounts test-fault-sweep test-hostile test-threads: debug
	cd $(BUILD_DBG) && ctest --output-on-failure -L '^$(LABEL)$$'

$(BUILD_ASAN)/build.ninja: | setup
	$(CONFIGURE) -S . -B $(BUILD_ASAN) -DCMAKE_BUILD_TYPE=Debug \
	    -DPython2_EXECUTABLE=$(PYTHON) -DPACKAGE_DIR=$(PACKAGE_ASAN) -DTEST_LABELS=sanitize \
	    "-DPROJECT_EXTRA_FLAGS=$(SANITIZE_FLAGS)"

sanitize: setup $(BUILD_ASAN)/build.ninja
	cmake --build $(BUILD_ASAN) -j $(JOBS)

test-sanitize: sanitize
	@rm -rf $(ASAN_REPORTS) && mkdir -p $(ASAN_REPORTS)
	@cd $(BUILD_ASAN) && $(ASAN_ENVIRONMENT) ctest --output-on-failure -j $(JOBS); \
	    status=$$?; \
	    if [ -n "$$(ls -A $(ASAN_REPORTS))" ]; then \
	        echo "test-sanitize: sanitizer reports in $(ASAN_REPORTS):"; cat $(ASAN_REPORTS)/*; exit 1; \
	    fi; \
	    exit $$status
