# Lays out the demo home HOME_DIR from SOURCE_DIR and the built tool TOOL (cmake -P script).
# Everything but the host database is written anew.

# The drives' PCI functions, in ascending address order, in the order of bin/drives.json (the
# plug-in locates the N-th drive at the N-th matching function).
set(PCI_FUNCTIONS
  "0000:03:00.0 0x0953"
  "0000:04:00.0 0x2701"
  "0000:5e:00.0 0x0a54"
  "0000:5f:00.0 0x0a54")

file(MAKE_DIRECTORY ${HOME_DIR}/bin)
file(REMOVE_RECURSE ${HOME_DIR}/pci)
foreach(entry IN LISTS PCI_FUNCTIONS)
  separate_arguments(parts UNIX_COMMAND "${entry}")
  list(GET parts 0 address)
  list(GET parts 1 device)
  file(WRITE ${HOME_DIR}/pci/${address}/vendor "0x8086\n")
  file(WRITE ${HOME_DIR}/pci/${address}/device "${device}\n")
endforeach()

file(COPY ${TOOL} DESTINATION ${HOME_DIR}/bin
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                   WORLD_READ WORLD_EXECUTE)
configure_file(${SOURCE_DIR}/drives.json ${HOME_DIR}/bin/drives.json COPYONLY)
configure_file(${SOURCE_DIR}/Varnock.ini ${HOME_DIR}/Varnock.ini COPYONLY)
configure_file(${SOURCE_DIR}/CustomOpts.ini ${HOME_DIR}/CustomOpts.ini COPYONLY)
file(REMOVE ${HOME_DIR}/trace.log)
