# Baseline: Debian's libhttp-parser, measured in the same run.
find_library(QV_HTTP_PARSER_LIB http_parser REQUIRED)
find_path(QV_HTTP_PARSER_INCLUDE http_parser.h REQUIRED)
target_include_directories(bench_http_parser PRIVATE ${QV_HTTP_PARSER_INCLUDE})
target_link_libraries(bench_http_parser PRIVATE ${QV_HTTP_PARSER_LIB})
