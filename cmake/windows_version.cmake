# The Windows version that the headers are set for. The shipped programs are built for NT 5.1
# (0x0501), so that a function newer than that is not even declared and cannot be called by
# accident: the few newer interfaces the programs use are looked up at run time or reached
# through COM behind the version check of the design.
#
# The simulated machine, the tests and the benchmarks stand in for newer platform parts and
# may use newer functions: halvaro_windows_version(0x0601) in their directories.
set(HALVARO_SHIPPED_WINNT 0x0501)

function(halvaro_windows_version version)
  get_directory_property(definitions COMPILE_DEFINITIONS)
  list(FILTER definitions EXCLUDE REGEX "^(_WIN32_WINNT|WINVER)=")
  list(APPEND definitions _WIN32_WINNT=${version} WINVER=${version})
  set_directory_properties(PROPERTIES COMPILE_DEFINITIONS "${definitions}")
endfunction()
