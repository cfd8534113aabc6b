# cmake -DFROM=SOURCE -DTO=FILE -DCOUNT=N -DRAISED=M -P raise_count.cmake:
# FILE is SOURCE with its loop's count raised from N to M, its one "i < N;"
# made "i < M;", its lines named as SOURCE's. When SOURCE holds that text not once, FILE is instead a
# program that says so on standard error and exits with status 2, so that
# the test which runs it fails saying why.
file(READ "${FROM}" source)
set(text "i < ${COUNT};")
string(REPLACE "${text}" "" without "${source}")
string(LENGTH "${source}" length)
string(LENGTH "${without}" length_without)
string(LENGTH "${text}" length_text)
math(EXPR times "(${length} - ${length_without}) / ${length_text}")
if(times EQUAL 1)
  string(REPLACE "${text}" "i < ${RAISED};" raised "${source}")
  # Its lines keep their numbers: a report names them as SOURCE's own.
  set(raised "#line 1 \"${FROM}\"\n${raised}")
else()
  set(raised "// ${FROM} does not hold '${text}' once: no count to raise.
#include <cstdio>
int main()
{
    fputs(\"the test raises each thread's count from ${COUNT} to ${RAISED} by changing the text '${text}' in \"
          \"${FROM}, which holds it ${times} times, not once: keep the loop as the program has it, \"
          \"for (int i = 0; i < ${COUNT}; ++i)\\n\", stderr);
    return 2;
}
")
endif()
# Written only when changed, so that the build redoes no more than it must.
set(old "")
if(EXISTS "${TO}")
  file(READ "${TO}" old)
endif()
if(NOT old STREQUAL raised)
  file(WRITE "${TO}" "${raised}")
endif()
