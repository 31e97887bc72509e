# Debian's hardening build flags for every optimised build, so that the
# programs the tests run are the ones the package ships: fortified libc calls,
# stack protector, read-only relocations bound at start-up (PIE is the
# compiler's default). The flags are what dpkg-buildflags adds with
# hardening=+all over hardening=-all for the target architecture, so they
# follow Debian's policy rather than a copy of it. Debug builds leave them out
# (_FORTIFY_SOURCE needs optimisation), as do the sanitizer and fuzzing builds.
option(VX42B_HARDEN "Build with Debian's hardening flags (dpkg-buildflags hardening=+all)" ON)

function(vx42b_dpkg_buildflags out arch hardening kind)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env DEB_HOST_ARCH=${arch} DEB_BUILD_MAINT_OPTIONS=hardening=${hardening}
            DEB_CFLAGS_MAINT_STRIP= DEB_CXXFLAGS_MAINT_STRIP= DEB_LDFLAGS_MAINT_STRIP=
            ${DPKG_BUILDFLAGS} --get ${kind}
    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    set(flags "")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  set(${out} ${flags} PARENT_SCOPE)
endfunction()

# The flags +all adds over -all, for one of CPPFLAGS, CXXFLAGS, LDFLAGS.
function(vx42b_hardening_flags out arch kind)
  vx42b_dpkg_buildflags(with ${arch} +all ${kind})
  vx42b_dpkg_buildflags(without ${arch} -all ${kind})
  if(without)
    list(REMOVE_ITEM with ${without})
  endif()
  set(${out} ${with} PARENT_SCOPE)
endfunction()

if(VX42B_HARDEN AND NOT VX42B_SANITIZE AND NOT VX42B_TSAN AND NOT VX42B_FUZZ)
  find_program(DPKG_BUILDFLAGS dpkg-buildflags)
  if(NOT DPKG_BUILDFLAGS)
    message(WARNING "dpkg-buildflags not found (Debian package dpkg-dev): building without hardening flags")
  else()
    if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
      set(arch armhf)
    else()
      execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE arch OUTPUT_STRIP_TRAILING_WHITESPACE)
    endif()
    vx42b_hardening_flags(cpp ${arch} CPPFLAGS)
    vx42b_hardening_flags(cxx ${arch} CXXFLAGS)
    vx42b_hardening_flags(ld ${arch} LDFLAGS)
    set(VX42B_HARDENING_FLAGS ${cpp} ${cxx} ${ld})
    # The plug-in's code is held to a flash budget that a stack protector
    # breaks: with read-only relocations its file grows in whole pages, and the
    # classic protector's canaries (about 2 KiB of code on armhf) cost one
    # more 4-KiB page, over the budget. It keeps fortify, relro and bindnow.
    if(cxx MATCHES "-fstack-protector")
      set(VX42B_PLUGIN_STACK_PROTECTOR "$<$<NOT:$<CONFIG:Debug>>:-fno-stack-protector>")
    endif()
    message(STATUS "hardening (${arch}): ${VX42B_HARDENING_FLAGS}")
    add_compile_options("$<$<NOT:$<CONFIG:Debug>>:${cpp};${cxx}>")
    add_link_options("$<$<NOT:$<CONFIG:Debug>>:${ld}>")
  endif()
endif()
