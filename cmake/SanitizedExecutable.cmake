# A second build of an executable and of the libraries it stands on, compiled
# and linked with AddressSanitizer and UndefinedBehaviorSanitizer, so that the
# end-to-end tests can run the very same program under both.
#
# The libraries' own source lists stay the only place to maintain: every
# source, include directory and compile definition is taken from the library
# targets, and links between them are replaced by their sanitized sources.
# Only the external dependencies are linked as they are.

set(ZENTOR_SANITIZER_FLAGS
  -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)

# zentor_add_sanitized_executable(NAME SOURCES file... LIBRARIES target...)
function(zentor_add_sanitized_executable name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES" ${ARGN})

  set(own_libraries)
  foreach(library IN LISTS ARG_LIBRARIES)
    get_target_property(aliased ${library} ALIASED_TARGET)
    if(aliased)
      set(library ${aliased})
    endif()
    list(APPEND own_libraries ${library})
  endforeach()

  add_executable(${name} ${ARG_SOURCES})
  foreach(library IN LISTS own_libraries)
    get_target_property(directory ${library} SOURCE_DIR)
    get_target_property(sources ${library} SOURCES)
    foreach(source IN LISTS sources)
      if(NOT IS_ABSOLUTE "${source}")
        set(source ${directory}/${source})
      endif()
      target_sources(${name} PRIVATE ${source})
    endforeach()
    target_include_directories(${name} PRIVATE
      $<TARGET_PROPERTY:${library},INCLUDE_DIRECTORIES>)
    target_compile_definitions(${name} PRIVATE
      $<TARGET_PROPERTY:${library},COMPILE_DEFINITIONS>)

    get_target_property(links ${library} LINK_LIBRARIES)
    if(NOT links)
      continue()
    endif()
    foreach(link IN LISTS links)
      set(resolved ${link})
      if(TARGET ${link})
        get_target_property(aliased ${link} ALIASED_TARGET)
        if(aliased)
          set(resolved ${aliased})
        endif()
      endif()
      if(NOT resolved IN_LIST own_libraries)
        target_link_libraries(${name} PRIVATE ${link})
      endif()
    endforeach()
  endforeach()

  target_compile_options(${name} PRIVATE ${ZENTOR_SANITIZER_FLAGS})
  target_link_options(${name} PRIVATE ${ZENTOR_SANITIZER_FLAGS})
  zentor_enable_warnings(${name})
endfunction()
