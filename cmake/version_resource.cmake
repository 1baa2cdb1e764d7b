# dstpatch_version_resource(TARGET VERSION): gives the Windows program TARGET
# the application manifest and the version resource of res/, filled in with
# VERSION (x.y.z): the numbers x,y,z,0, the strings "x.y.z" and the manifest's
# assemblyIdentity version x.y.z.0. Both files are generated under the build
# tree; a change of either rebuilds the resource.
function(dstpatch_version_resource target version)
  if(NOT version MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
    message(FATAL_ERROR "dstpatch_version_resource: version '${version}' is not x.y.z")
  endif()
  foreach(part IN ITEMS 1 2 3)
    if(CMAKE_MATCH_${part} GREATER 65535)
      message(FATAL_ERROR "dstpatch_version_resource: each part of '${version}' must fit 16 bits")
    endif()
  endforeach()
  set(VERSION "${version}")
  set(VERSION_MAJOR "${CMAKE_MATCH_1}")
  set(VERSION_MINOR "${CMAKE_MATCH_2}")
  set(VERSION_PATCH "${CMAKE_MATCH_3}")
  # The .rc names the manifest without a folder: windres looks for it beside
  # the .rc.
  set(dir "${CMAKE_CURRENT_BINARY_DIR}/${target}-resource")
  configure_file("${PROJECT_SOURCE_DIR}/res/dstpatch.manifest.in" "${dir}/dstpatch.manifest" @ONLY)
  configure_file("${PROJECT_SOURCE_DIR}/res/dstpatch.rc.in" "${dir}/dstpatch.rc" @ONLY)
  target_sources(${target} PRIVATE "${dir}/dstpatch.rc")
  set_source_files_properties("${dir}/dstpatch.rc" PROPERTIES OBJECT_DEPENDS "${dir}/dstpatch.manifest")
endfunction()
