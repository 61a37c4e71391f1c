# Run by `cmake --install` (cmake/install.cmake): writes a .pc file for the
# prefix being installed to. A relative directory becomes ${prefix}/DIR, an
# absolute one stays as it is.
# In: PC_TEMPLATE, PC_OUT, LIBDIR and INCLUDEDIR (CMAKE_INSTALL_* as configured).
set(pc_prefix "${CMAKE_INSTALL_PREFIX}")
foreach(dir LIBDIR INCLUDEDIR)
  string(TOLOWER ${dir} key)
  if(IS_ABSOLUTE "${${dir}}")
    set(pc_${key} "${${dir}}")
  else()
    set(pc_${key} "\${prefix}/${${dir}}")
  endif()
endforeach()
configure_file(${PC_TEMPLATE} ${PC_OUT} @ONLY)
