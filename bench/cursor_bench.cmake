korvane_benchmark(cursor_bench SOURCES cursor_bench.cpp LIBS kura_engine)
