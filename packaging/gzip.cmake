# Compresses IN into OUT the way Debian wants it: best compression, and no
# file name or time stamp in the header, so the result depends on IN alone.
#   cmake -DIN=<file> -DOUT=<file.gz> -P gzip.cmake
if(NOT IN OR NOT OUT)
    message(FATAL_ERROR "usage: cmake -DIN=<file> -DOUT=<file.gz> -P gzip.cmake")
endif()
find_program(ZAVO_GZIP gzip REQUIRED)
execute_process(COMMAND "${ZAVO_GZIP}" -9 -n -c "${IN}"
                OUTPUT_FILE "${OUT}.tmp"
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    file(REMOVE "${OUT}.tmp")
    message(FATAL_ERROR "gzip failed on ${IN}: ${result}")
endif()
file(RENAME "${OUT}.tmp" "${OUT}")
