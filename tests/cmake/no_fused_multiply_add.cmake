# Fails if the built kernels contain a fused multiply-add instruction.
#
# A fused multiply-add rounds once where the kernels' results need two
# roundings (the product, then the sum), so a single one changes bits. The
# compiler emits them by contraction when -ffp-contract=off is missing, and
# only on paths this machine may never run (the AVX-512 tile), so the test
# reads the object code instead of the results.
#
#   cmake -DOBJDUMP=<objdump> "-DFILES=<library>|<module>|..." [-DREQUIRED=<regex>]
#         -P no_fused_multiply_add.cmake
#
# REQUIRED, when given, must match the first file's listing: it proves that
# the code the check is about (say the AVX-512 tile, %zmm) was looked at.

if(NOT OBJDUMP)
  message(STATUS "objdump not found: fused multiply-add check skipped")
  return()
endif()

# Mnemonics, as the start of an instruction after objdump's tab:
#   x86-64: FMA3 vfmadd132ps .. vfnmsub231sd, vfmaddsub/vfmsubadd, FMA4
#           vfmaddps, AVX-512 4FMAPS v4fmaddps;
#   aarch64: fmla/fmls (vector), fmadd/fmsub/fnmadd/fnmsub (scalar), and the
#           SVE forms fmad/fmsb/fnmad/fnmsb/fnmla/fnmls.
set(fused "\t(\\{[a-z0-9]+\\} )?(v4?fn?m(add|sub)[a-z0-9]*|fn?ml[as][a-z0-9]*|fn?m(add|sub)|fn?m(ad|sb))[ \t\n.]")

string(REPLACE "|" ";" files "${FILES}")
list(GET files 0 first_file)
set(failures "")
foreach(file IN LISTS files)
  execute_process(COMMAND "${OBJDUMP}" -d --no-show-raw-insn "${file}"
                  OUTPUT_VARIABLE listing ERROR_VARIABLE errors RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -d ${file} failed: ${errors}")
  endif()
  # A listing without instructions would pass vacuously.
  string(REGEX MATCHALL "\n *[0-9a-f]+: *\t" instructions "${listing}")
  list(LENGTH instructions instruction_count)
  if(instruction_count LESS 100)
    message(FATAL_ERROR "${file}: only ${instruction_count} instructions disassembled")
  endif()

  if(REQUIRED AND file STREQUAL "${first_file}" AND NOT listing MATCHES "${REQUIRED}")
    message(FATAL_ERROR "${file}: nothing matches ${REQUIRED}; is that code still built?")
  endif()

  string(REGEX MATCHALL "${fused}" hits "${listing}")
  list(LENGTH hits found)
  message(STATUS "${file}: ${instruction_count} instructions, ${found} fused multiply-adds")
  if(found EQUAL 0)
    continue()
  endif()

  # Name the function of each offending instruction (the first 20).
  set(function "?")
  string(REPLACE ";" "," listing "${listing}")
  string(REPLACE "\n" ";" lines "${listing}")
  set(shown 0)
  foreach(line IN LISTS lines)
    if(line MATCHES "^[0-9a-f]+ <(.*)>:$")
      set(function "${CMAKE_MATCH_1}")
    elseif("${line}\n" MATCHES "${fused}" AND shown LESS 20)
      math(EXPR shown "${shown} + 1")
      string(APPEND failures "  ${function}: ${line}\n")
    endif()
  endforeach()
  string(APPEND failures "  (${found} in ${file})\n")
endforeach()

if(NOT failures STREQUAL "")
  message(FATAL_ERROR "fused multiply-add instructions in the kernels:\n${failures}")
endif()
