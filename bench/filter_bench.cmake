# Cursor filters: indexed equality and range against a non-indexed condition.
korvane_benchmark(filter_bench SOURCES filter_bench.cpp LIBS kura_engine)
