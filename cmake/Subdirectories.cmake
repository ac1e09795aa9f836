# Adds every folder below `root` that has a CMakeLists.txt of its own, so that a new area needs no
# edit of a shared list. Folders are added in path order.
function(rw_add_subdirectories root)
  file(GLOB_RECURSE lists CONFIGURE_DEPENDS RELATIVE ${root} ${root}/*/CMakeLists.txt)
  list(SORT lists)
  foreach(list IN LISTS lists)
    get_filename_component(dir ${list} DIRECTORY)
    add_subdirectory(${root}/${dir})
  endforeach()
endfunction()
