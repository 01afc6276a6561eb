# Expression evaluation over records held in memory.
korvane_benchmark(expression_bench SOURCES expression_bench.cpp LIBS kura_expr)
