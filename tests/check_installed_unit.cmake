cmake_minimum_required(VERSION 3.25)
# The installed service unit runs kdr31-cli by the absolute path the install step put it at,
# for whatever prefix that step is given (/usr as in the Debian package, which installs with
# DESTDIR too, or a prefix of one's own), so that no kdr31-cli found earlier on systemd's path
# runs in its place. Run with -DBUILD=<build dir> -DWORK=<scratch dir>.
foreach(prefix /usr /opt/kdr31 "/opt/kdr31 test")
  set(root "${WORK}/root")
  file(REMOVE_RECURSE "${root}")
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env "DESTDIR=${root}"
            ${CMAKE_COMMAND} --install "${BUILD}" --prefix "${prefix}" --component cli
    RESULT_VARIABLE failed OUTPUT_QUIET ERROR_VARIABLE errors)
  if(failed)
    message(FATAL_ERROR "cmake --install --prefix ${prefix} failed: ${errors}")
  endif()
  set(program "${prefix}/bin/kdr31-cli")
  if(NOT EXISTS "${root}${program}")
    message(FATAL_ERROR "no ${program} in the installed tree")
  endif()
  if(prefix MATCHES " ")
    set(program "\"${program}\"")
  endif()
  file(STRINGS "${root}${prefix}/lib/systemd/system/kdr31-mqtt@.service" exec REGEX "^ExecStart=")
  string(FIND "${exec}" "ExecStart=${program} poll " at)
  if(NOT at EQUAL 0)
    message(FATAL_ERROR "with --prefix ${prefix} the unit says\n  ${exec}\nnot ${program}")
  endif()
  message(STATUS "--prefix ${prefix}: ${exec}")
endforeach()
file(REMOVE_RECURSE "${root}")
