"""The harness behind bench/run: builds the benchmark programs, runs every peer on the same
trees in one run, and writes the report and the chart."""
