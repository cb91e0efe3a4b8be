# Each target sets up what it needs (system packages, virtual environment, module) by itself.
.PHONY: demo test bench bench-report fuzz fuzz-python dist sanitize valgrind armhf setup format \
	test-spark serve test-browser

FUZZ_SECONDS ?= 600
SERVE_PORT ?= 8000

demo:
	bash tools/dev.sh demo

test:
	bash tools/dev.sh test

bench:
	bash tools/dev.sh bench

bench-report:
	bash tools/dev.sh bench-report

fuzz:
	bash tools/dev.sh fuzz $(FUZZ_SECONDS)

dist:
	bash tools/dev.sh dist

sanitize:
	bash tools/dev.sh sanitize

valgrind:
	bash tools/dev.sh valgrind

fuzz-python:
	bash tools/dev.sh fuzz-python

armhf:
	bash tools/dev.sh armhf

test-spark:
	bash tools/dev.sh test-spark

serve:
	bash tools/dev.sh serve $(SERVE_PORT)

test-browser:
	bash tools/dev.sh test-browser

setup:
	bash tools/dev.sh setup

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')
