# Runs an example program and checks its exit status and output.
#   cmake -DCASE=<full|quiet|usage|await|plugins|screenshot|qml> -DPROGRAM=<path> [-DDATA=<dir>] [-DOUTPUT=<png>] -P CheckExamples.cmake

function(run)
    execute_process(COMMAND ${PROGRAM} ${ARGN}
        RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
    set(status "${status}" PARENT_SCOPE)
    set(out "${out}" PARENT_SCOPE)
    set(err "${err}" PARENT_SCOPE)
    set(command "${ARGN}" PARENT_SCOPE)
endfunction()

function(fail message)
    message(FATAL_ERROR "${message}\n--- command: ${PROGRAM} ${command}\n--- exit status: ${status}\n"
                        "--- stdout:\n${out}\n--- stderr:\n${err}")
endfunction()

function(expect_status expected)
    if(NOT "${status}" STREQUAL "${expected}")
        fail("exit status ${status}, expected ${expected}")
    endif()
endfunction()

# expect(<stdout|stderr> <regex>...): every regex must match somewhere in the stream.
function(expect stream)
    if(stream STREQUAL "stdout")
        set(text "${out}")
    else()
        set(text "${err}")
    endif()
    foreach(regex IN LISTS ARGN)
        if(NOT text MATCHES "${regex}")
            fail("${stream} does not match: ${regex}")
        endif()
    endforeach()
endfunction()

function(expect_no stream)
    if(stream STREQUAL "stdout")
        set(text "${out}")
    else()
        set(text "${err}")
    endif()
    foreach(regex IN LISTS ARGN)
        if(text MATCHES "${regex}")
            fail("${stream} unexpectedly matches: ${regex}")
        endif()
    endforeach()
endfunction()

if(CASE STREQUAL "full")
    run(--auto-abort --max-finished 2)
    expect_status(0)
    # No library warning may appear (a reorder warning of the model, a worker without a task...).
    expect_no(stderr ".")
    expect(stdout
        "indexing [^\n]* \\(18 files, generated sample\\)"
        "dequeued CountLinesJob src/tools.py"
        "waiting for export.done for 300 ms at most"
        "urgent: HashFileJob [^\n]* \\(aborts the running job\\)"
        "ABORTED  CountLinesJob README.txt \\(queued again\\)"
        "FAILED   HashFileJob deleted-since-last-run.txt: cannot open deleted-since-last-run.txt: No such file"
        "progress HashFileJob data/archive.bin 25%"
        "progress HashFileJob data/archive.bin 100%\n"
        "ABORTED  WaitForFileJob export.done: timed out after 300 ms\n"
        "second batch: queued 18 digests, then abortAll\\(\\): 18 aborted, 3 of them had started\n"
        "done     HashFileJob README.txt: sha256 [0-9a-f]+"
        "done     CountLinesJob src/parser.cpp: [0-9]+ non-blank lines"
        "done     FindTodosJob src/scheduler.cpp: [0-9]+ to-do lines"
        "queued DigestTreeJob: scan, then 3 digests at a time, then a manifest\n"
        "progress DigestTreeJob \\. 100%\n"
        "done     DigestTreeJob \\.: manifest sha256 [0-9a-f]+"
        "queue: 3 running, [0-9]+ waiting, [0-9]+ finished, batch [0-9]+% done"
        "\n +[0-9]+  HashFileJob +Finished  deleted-since-last-run.txt  \\(Failed: cannot open"
        "\n +[0-9]+  HashFileJob +Finished  README.txt  \\(Aborted\\)"
        "jobs: 39 done, 1 failed, 2 aborted, 1 dequeued, 18 cancelled"
        "index: 18 files, 18 digests, [0-9]+ lines in 13 files, [0-9]+ to-do lines in 6 sources"
        "worker FileIndexer serves CountLinesJob, DigestTreeJob, HashFileJob, WaitForFileJob\n"
        "worker SourceIndexer serves FindTodosJob\n"
        "job CountLinesJob: Number of lines in a text file\n *parameters path:QString, skipBlank:bool\n"
        "job DigestTreeJob: Digest of a directory tree: a scan, the files' digests, a manifest\n *parameters path:QString\n"
        "job FindTodosJob: Lines of a source file that carry a to-do marker\n *parameters marker:QString, path:QString\n"
        "job HashFileJob: SHA-256 digest of a file's contents\n *parameters path:QString\n"
        "job WaitForFileJob: Waits until a file exists, up to a timeout\n *parameters path:QString, timeout:int\n")
    # --max-finished 2: no table ever shows more than two finished rows.
    expect_no(stdout "queue: [^\n]* [3-9] finished" "queue: [^\n]* [0-9][0-9]+ finished")
elseif(CASE STREQUAL "quiet")
    run(--quiet "${DATA}")
    expect_status(0)
    expect_no(stderr ".")
    expect(stdout
        "urgent: HashFileJob [^\n]* \\(runs next\\)"
        "FAILED   HashFileJob deleted-since-last-run.txt"
        "ABORTED  WaitForFileJob export.done: timed out after 300 ms"
        "jobs: [0-9]+ done, 1 failed, 1 aborted, 1 dequeued, [0-9]+ cancelled"
        "registry\n")
    expect_no(stdout "queue: " "done     " "ABORTED  HashFileJob" "progress ")
elseif(CASE STREQUAL "usage")
    run(--help)
    expect_status(0)
    expect(stdout "--auto-abort" "--max-finished <N>" "--quiet" "\\[directory\\]")
    foreach(bad "--bogus;Unknown option 'bogus'"
                "--max-finished;Missing value after '--max-finished'"
                "--max-finished;x7;--max-finished needs a non-negative number, not 'x7'"
                "--max-finished;-1;--max-finished needs a non-negative number, not '-1'"
                "/nonexistent/errand-demo-input;no such directory: /nonexistent/errand-demo-input"
                "a;b;one directory at most, got 2 arguments")
        list(POP_BACK bad message)
        run(${bad})
        expect_status(2)
        expect(stderr "^errand-demo: ${message}")
        expect_no(stdout ".")
    endforeach()
elseif(CASE STREQUAL "await")
    run()
    expect_status(0)
    expect_no(stderr ".")
    # Awaited in the order queued, so the listing is the sorted sample, then the file that went.
    expect(stdout
        "^[0-9a-f]+\\.\\.\\.  README.txt\n"
        "\n[0-9a-f]+\\.\\.\\.  src/parser.cpp\n"
        "FAILED gone.txt: cannot open gone.txt: No such file or directory\n"
        "18 hashed, 1 failed\n$")
elseif(CASE STREQUAL "plugins")
    run("${DATA}")
    expect_status(0)
    expect_no(stderr ".")
    expect(stdout
        "job type ThumbnailJob: Names the thumbnail of an image\n"
        "ThumbnailJob \\| Finished \\|  \\| cat.jpg.256px.png \\| 0 \\| 100%\n"
        "ThumbnailJob \\| Finished \\| Failed: a thumbnail needs a size \\|  \\| 0 \\| \n"
        "ThumbnailJob \\| Finished \\|  \\| cat.jpg.64px.png \\| 0 \\| 100%\n"
        "unloaded; job types left: 0\n")
elseif(CASE STREQUAL "screenshot" OR CASE STREQUAL "qml")
    file(REMOVE "${OUTPUT}")
    run(--screenshot "${OUTPUT}")
    expect_status(0)
    # Library warnings start with a bracketed class name, QML ones with the file's URL.
    expect_no(stderr "[Ww]arning|\\[[A-Za-z]+\\]|qrc:")
    if(CASE STREQUAL "qml")
        # The program checks the model and the list's delegates itself and prints what it saw.
        expect(stdout "rows [1-9][0-9]*, cards [1-9][0-9]*, finished [1-9][0-9]*, running 1, state changes seen [1-9]")
    endif()
    file(SIZE "${OUTPUT}" size)
    file(READ "${OUTPUT}" magic LIMIT 8 HEX)
    if(size LESS 1000 OR NOT magic STREQUAL "89504e470d0a1a0a")
        fail("${OUTPUT} is not a PNG (size ${size}, magic ${magic})")
    endif()
else()
    message(FATAL_ERROR "unknown CASE '${CASE}'")
endif()
