# Run first by every installation, with install_dirs (the directories the
# installation puts files into) and install_dirs_record (a file) set.
# Creates each of those directories that is missing, with its missing
# parents, mode 0755 whatever the installer's file-creation mask (root runs
# programs from these trees), and notes each one it creates in the record,
# so that make uninstall removes them again once they are empty.
foreach(d ${install_dirs})
  set(made "")
  while(NOT EXISTS "$ENV{DESTDIR}${d}" AND NOT d STREQUAL "/")
    file(APPEND "${install_dirs_record}" "${d}\n")
    list(APPEND made "$ENV{DESTDIR}${d}")
    get_filename_component(d "${d}" DIRECTORY)
  endwhile()
  if(made)
    list(REVERSE made)
    foreach(m ${made})
      file(MAKE_DIRECTORY "${m}")
      file(CHMOD "${m}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
           GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    endforeach()
  endif()
endforeach()
