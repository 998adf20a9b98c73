# Prints a backtrace of every heap allocation a benchmark counts, then goes
# on. Use on a build with debug information (see docs/performance.md):
#   gdb -batch -x bench/allocations.gdb --args build-bench/bench/tact_benchmarks \
#       --benchmark_filter='ReportCycle/TenByteSplit/2$' --benchmark_min_time=0.000001
set pagination off
set print frame-arguments none
break tact::bench::countedAllocation
commands
silent
bt 14
continue
end
run
