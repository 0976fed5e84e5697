# Collects the .cpp files below a folder. Sources are picked up by convention so that
# adding a file never needs a CMake edit; CONFIGURE_DEPENDS re-globs on every build.
function(tavolin_collect_sources out_var folder)
  file(GLOB_RECURSE found CONFIGURE_DEPENDS "${folder}/*.cpp")
  set(${out_var} ${found} PARENT_SCOPE)
endfunction()
