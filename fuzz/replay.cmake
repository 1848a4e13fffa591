# Runs a fuzz target once on every file of its corpus and regression
# directories: cmake -DTARGET=<binary> -DINPUTS=<dir>|<dir> -P replay.cmake
# Given files (not directories), libFuzzer only executes them: nothing is
# mutated and nothing is written.
string(REPLACE "|" ";" dirs "${INPUTS}")
set(files)
foreach(dir ${dirs})
  file(GLOB found LIST_DIRECTORIES false ${dir}/*)
  list(APPEND files ${found})
endforeach()
list(LENGTH files count)
if(count EQUAL 0)
  message(FATAL_ERROR "no inputs in ${INPUTS}")
endif()
list(SORT files)

# In batches, to stay below the command-line limit.
set(batch)
set(done 0)
foreach(f ${files})
  list(APPEND batch ${f})
  math(EXPR done "${done} + 1")
  list(LENGTH batch n)
  if(n EQUAL 200 OR done EQUAL count)
    execute_process(COMMAND ${TARGET} -timeout=60 -rss_limit_mb=2560 ${batch}
                    RESULT_VARIABLE rv)
    if(NOT rv EQUAL 0)
      message(FATAL_ERROR "${TARGET} failed (${rv}) on one of:\n${batch}")
    endif()
    set(batch)
  endif()
endforeach()
message(STATUS "${count} inputs replayed")
