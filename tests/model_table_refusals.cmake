# The model table generator (cmake/ModelTable.cmake) stops the build on a
# .drv it would read wrongly, with the reason: each case below spoils a
# good file one way and must fail with its message. Run by ctest:
#   cmake -DGENERATOR=... -DWORK=folder -P model_table_refusals.cmake

set(good [=[
Manufacturer "Tavelpress"
{
  ModelNumber 20
  Resolution - 8 0 0 0 "203dpi/203 dpi"
  MinSize 10mm 10mm
  MaxSize 54mm 1000mm
  Option "Darkness/Darkness" PickOne AnySetup 10
    *Choice "Default/Printer's own setting" ""
    Choice "0/0" ""
  {
    ModelName "Test printer"
    PCFileName "tavelpress-test.ppd"
    *CustomMedia "2x2.Fullbleed/2 x 2 in" 144 144 0 0 0 0 "" ""
  }
}
]=])
set(names "2x2.Fullbleed oe_2x2-label_2x2in\n")

# Each case: what is replaced, by what, and the message expected.
set(cases
  "2x2.Fullbleed/|3x3.Fullbleed/|the size 3x3.Fullbleed has no IPP name"
  "  MinSize 10mm 10mm|  MediaSize w144h144|does not read \"MediaSize\""
  "    *Choice \"Default|    Choice \"Default|the option Darkness has no default"
  "  ModelNumber 20|  Throughput 1|the model tavelpress-test.ppd has no number"
  "tavelpress-test.ppd|test.ppd|PCFileName test.ppd is not tavelpress-NAME.ppd"
  "  MaxSize 54mm 1000mm|  MaxSize 54pt 1000mm|a size of millimetres, inches or points")

set(failures 0)
set(index 0)
foreach(case ${cases})
  math(EXPR index "${index} + 1")
  string(REPLACE "|" ";" parts "${case}")
  list(GET parts 0 from)
  list(GET parts 1 to)
  list(GET parts 2 expected)
  string(REPLACE "${from}" "${to}" drv "${good}")
  if(drv STREQUAL good)
    message(SEND_ERROR "case ${index}: \"${from}\" is not in the good file")
  endif()
  file(WRITE ${WORK}/case${index}.drv "${drv}")
  file(WRITE ${WORK}/names.txt "${names}")
  execute_process(COMMAND ${CMAKE_COMMAND} -DDRV=${WORK}/case${index}.drv
                          -DMEDIA_NAMES=${WORK}/names.txt -DOUT=${WORK}/case${index}.inc
                          -P ${GENERATOR}
                  RESULT_VARIABLE status ERROR_VARIABLE err OUTPUT_QUIET)
  string(REPLACE "\n" " " err "${err}")
  string(REGEX REPLACE " +" " " err "${err}")
  string(FIND "${err}" "${expected}" at)
  if(status EQUAL 0 OR at EQUAL -1)
    message(SEND_ERROR "case ${index} (${to}): status ${status}, wanted \"${expected}\": ${err}")
  endif()
endforeach()

# The good file itself makes one model.
file(WRITE ${WORK}/good.drv "${good}")
execute_process(COMMAND ${CMAKE_COMMAND} -DDRV=${WORK}/good.drv -DMEDIA_NAMES=${WORK}/names.txt
                        -DOUT=${WORK}/good.inc -P ${GENERATOR}
                RESULT_VARIABLE status ERROR_VARIABLE err)
file(READ ${WORK}/good.inc made)
if(NOT status EQUAL 0 OR NOT made MATCHES "\"test\", \"Tavelpress Test printer\"")
  message(SEND_ERROR "the good file: status ${status}: ${err}")
endif()
