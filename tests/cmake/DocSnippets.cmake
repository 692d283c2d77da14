# errand_doc_snippets(<markdown file> <language> <out-var>) reads every ```<language> block of a
# Markdown file and returns their indexes 1..n in <out-var>; the text of block i is in
# <out-var>_<i> and the line of the file it starts on in <out-var>_<i>_LINE. Usable at configure
# time and from cmake -P scripts. The text is kept in plain variables, never treated as a list,
# so that the semicolons of C++ survive.
function(errand_doc_snippets file language out)
    file(READ ${file} text)
    set(fence "```${language}\n")
    string(LENGTH "${fence}" fence_length)
    set(indexes "")
    set(line 1)
    set(n 0)
    while(TRUE)
        string(FIND "${text}" "${fence}" start)
        if(start EQUAL -1)
            break()
        endif()
        string(SUBSTRING "${text}" 0 ${start} before)
        string(REGEX MATCHALL "\n" newlines "${before}")
        list(LENGTH newlines count)
        math(EXPR line "${line} + ${count} + 1")
        math(EXPR begin "${start} + ${fence_length}")
        string(SUBSTRING "${text}" ${begin} -1 text)
        string(FIND "${text}" "\n```" end)
        if(end EQUAL -1)
            message(FATAL_ERROR "${file}: a ```${language} block is not closed")
        endif()
        math(EXPR n "${n} + 1")
        string(SUBSTRING "${text}" 0 ${end} code)
        set(${out}_${n} "${code}\n" PARENT_SCOPE)
        set(${out}_${n}_LINE ${line} PARENT_SCOPE)
        list(APPEND indexes ${n})
        string(REGEX MATCHALL "\n" newlines "${code}")
        list(LENGTH newlines count)
        math(EXPR line "${line} + ${count}")
        math(EXPR end "${end} + 1")
        string(SUBSTRING "${text}" ${end} -1 text)
    endwhile()
    set(${out} ${indexes} PARENT_SCOPE)
endfunction()

# errand_write_snippet(<code> <directory> <file> <source-line> <source-file>) writes a snippet as
# <directory>/<file>, with a #line directive so that a compiler error points into the Markdown.
# The file keeps its time stamp when its text did not change.
function(errand_write_snippet code directory name line source)
    file(WRITE ${directory}/${name}.new "#line ${line} \"${source}\"\n${code}")
    configure_file(${directory}/${name}.new ${directory}/${name} COPYONLY)
endfunction()
