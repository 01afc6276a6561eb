# Kura against SQLite on the same table and the same work (see bench/README.md).
find_package(SQLite3 REQUIRED)
korvane_benchmark(kura_vs_sqlite SOURCES kura_vs_sqlite.cpp LIBS kura_sql kura_engine SQLite::SQLite3)
