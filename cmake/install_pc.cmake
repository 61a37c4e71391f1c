# Run by `cmake --install` (cmake/install.cmake): writes a .pc file for the
# prefix being installed to, straight into its place, so that two installs
# of one build (a test's and cpack's) never share a file. A relative
# directory becomes ${prefix}/DIR, an absolute one stays as it is.
# In: PC_TEMPLATE, PC_NAME, PC_DIR, LIBDIR and INCLUDEDIR (as configured).
set(pc_prefix "${CMAKE_INSTALL_PREFIX}")
foreach(dir LIBDIR INCLUDEDIR)
  string(TOLOWER ${dir} key)
  if(IS_ABSOLUTE "${${dir}}")
    set(pc_${key} "${${dir}}")
  else()
    set(pc_${key} "\${prefix}/${${dir}}")
  endif()
endforeach()
if(NOT IS_ABSOLUTE "${PC_DIR}")
  set(PC_DIR "${CMAKE_INSTALL_PREFIX}/${PC_DIR}")
endif()
set(pc_out "$ENV{DESTDIR}${PC_DIR}/${PC_NAME}")
message(STATUS "Installing: ${pc_out}")
configure_file(${PC_TEMPLATE} ${pc_out} @ONLY)
