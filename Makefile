# Each target sets up what it needs (system packages, virtual environment, module) by itself.
.PHONY: demo test bench setup format

demo:
	bash tools/dev.sh demo

test:
	bash tools/dev.sh test

bench:
	bash tools/dev.sh bench

setup:
	bash tools/dev.sh setup

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')
