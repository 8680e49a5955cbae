# gen_docs on scratch files: --check fails on a stale block and names it, --write repairs the
# block and leaves the text around it alone, and malformed markers are refused.
#   cmake -DGEN_DOCS=path/to/gen_docs -DWORK_DIR=scratch/dir -P gen_docs_test.cmake

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")

function(run_gen expected_rc out_var)
  execute_process(COMMAND "${GEN_DOCS}" ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                  ERROR_VARIABLE err)
  if(NOT rc EQUAL expected_rc)
    message(FATAL_ERROR "gen_docs ${ARGN}: exit ${rc}, expected ${expected_rc}\n${out}${err}")
  endif()
  set(${out_var} "${out}${err}" PARENT_SCOPE)
endfunction()

function(expect_in haystack needle what)
  string(FIND "${haystack}" "${needle}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${what}: no \"${needle}\" in:\n${haystack}")
  endif()
endfunction()

# A stale tree-operators block between prose, and an operators block that is already right.
set(doc "${WORK_DIR}/doc.md")
set(before "# Report\n\nProse before.\n\n<!-- BEGIN GENERATED: tree-operators -->\n")
set(after "<!-- END GENERATED: tree-operators -->\n\nProse after.\n")
file(WRITE "${doc}" "${before}| 0 | `Data` | stale |\n${after}")

run_gen(1 out --check "${doc}")
expect_in("${out}" "generated block \"tree-operators\" differs" "stale block")
expect_in("${out}" "regenerate with:" "stale block")
expect_in("${out}" "--write ${doc}" "stale block")

run_gen(0 out --write "${doc}")
run_gen(0 out --check "${doc}")
file(READ "${doc}" written)
string(FIND "${written}" "${before}" at_before)
string(FIND "${written}" "${after}" at_after)
if(NOT at_before EQUAL 0 OR at_after EQUAL -1)
  message(FATAL_ERROR "--write changed the text outside the markers:\n${written}")
endif()
expect_in("${written}" "| 0 | `Data` | `name`: text |" "first tree operator")
expect_in("${written}" "| 15 | `StochD` |" "tree operator with a default")
expect_in("${written}" "`d`: count = 3" "tree operator with a default")
expect_in("${written}" "| 51 | `GroupbyCategory` |" "last tree operator")
string(REGEX MATCHALL "\n\\| [0-9]+ \\| `" rows "${written}")
list(LENGTH rows n_rows)
if(NOT n_rows EQUAL 52)
  message(FATAL_ERROR "expected 52 tree operators, found ${n_rows}")
endif()

# --write on an up-to-date file leaves it byte for byte.
run_gen(0 out --write "${doc}")
file(READ "${doc}" again)
if(NOT again STREQUAL written)
  message(FATAL_ERROR "--write changed an up-to-date file")
endif()

# Several files: one stale file fails the check and is the one named.
file(WRITE "${WORK_DIR}/ops.md" "<!-- BEGIN GENERATED: operators -->\n<!-- END GENERATED: operators -->\n")
run_gen(1 out --check "${doc}" "${WORK_DIR}/ops.md")
expect_in("${out}" "ops.md:2: generated block \"operators\" differs" "second file")

# Malformed files are refused (exit 2) by both modes, and left alone.
set(bad_cases
    "unknown|<!-- BEGIN GENERATED: nonsense -->\n<!-- END GENERATED: nonsense -->\n|no generated block is called"
    "unclosed|<!-- BEGIN GENERATED: calls -->\ntext\n|has no END marker"
    "mismatched|<!-- BEGIN GENERATED: calls -->\n<!-- END GENERATED: operators -->\n|without its BEGIN"
    "nested|<!-- BEGIN GENERATED: calls -->\n<!-- BEGIN GENERATED: operators -->\n|opens inside block"
    "some calls|<!-- BEGIN GENERATED: call sma -->\n<!-- END GENERATED: call sma -->\n|must name every call once"
    "no blocks|just prose\n|holds no generated block")
foreach(case IN LISTS bad_cases)
  string(REPLACE "|" ";" parts "${case}")
  list(GET parts 0 name)
  list(GET parts 1 content)
  list(GET parts 2 message)
  set(bad "${WORK_DIR}/bad.md")
  file(WRITE "${bad}" "${content}")
  foreach(mode --check --write)
    run_gen(2 out ${mode} "${bad}")
    expect_in("${out}" "${message}" "${name} ${mode}")
  endforeach()
  file(READ "${bad}" kept)
  if(NOT kept STREQUAL content)
    message(FATAL_ERROR "${name}: a refused file was changed")
  endif()
endforeach()

run_gen(2 out --check)
run_gen(2 out --fix "${doc}")
