# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 lanbeacon developers
# Copies a D-Bus interface file for qdbusxml2cpp (Qt 5.15), run as
#   cmake -DIN=<installed.xml> -DOUT=<copy.xml> -P AnnotateDBusInterface.cmake
#
# - Every method or signal with an "aay" argument gets the method-level annotation
#   org.qtproject.QtDBus.QtTypeName.In<N> / .Out<N> (signal arguments count as Out)
#   naming QList<QByteArray>: qdbusxml2cpp has no type of its own for it and does not
#   read annotations on single arguments.
# - Methods with more than 8 results (the synchronous Server.ResolveService) are
#   dropped: a generated proxy returns QDBusPendingReply, which takes at most 8.
# - org.freedesktop.DBus.Introspectable is dropped: every file carries it, and the
#   proxies generated from several files must not each define a class for it.
if(NOT IN OR NOT OUT)
    message(FATAL_ERROR "AnnotateDBusInterface: pass -DIN=... -DOUT=...")
endif()
file(READ "${IN}" text)
# From <node> on: the license comment and the doctype above it hold characters that
# CMake lists do not take.
string(FIND "${text}" "<node" start)
if(start LESS 0)
    message(FATAL_ERROR "AnnotateDBusInterface: no <node> in ${IN}")
endif()
string(SUBSTRING "${text}" ${start} -1 text)
string(REPLACE "\n" ";" lines "${text}")

set(out "<?xml version=\"1.0\"?>\n")
set(skipping FALSE)
set(inmember FALSE)
set(member "")      # the lines of the method or signal being read, after its opening
set(annotations "")
foreach(line IN LISTS lines)
    if(skipping)
        if(line MATCHES "</interface>")
            set(skipping FALSE)
        endif()
        continue()
    endif()
    if(line MATCHES "<interface name=\"org.freedesktop.DBus.Introspectable\"")
        set(skipping TRUE)
        continue()
    endif()
    if(line MATCHES "<(method|signal) name=\"[A-Za-z0-9_]+\"[ ]*>")
        set(kind ${CMAKE_MATCH_1})
        set(opening "${line}\n")
        set(member "")
        set(inmember TRUE)
        set(annotations "")
        set(in 0)
        set(outs 0)
        continue()
    endif()
    if(inmember)
        if(line MATCHES "<arg ")
            if(kind STREQUAL "signal" OR line MATCHES "direction=\"out\"")
                set(dir Out)
                set(n ${outs})
                math(EXPR outs "${outs} + 1")
            else()
                set(dir In)
                set(n ${in})
                math(EXPR in "${in} + 1")
            endif()
            if(line MATCHES "type=\"aay\"")
                string(APPEND annotations
                    "      <annotation name=\"org.qtproject.QtDBus.QtTypeName.${dir}${n}\""
                    " value=\"QList&lt;QByteArray&gt;\"/>\n")
            endif()
        endif()
        string(APPEND member "${line}\n")
        if(line MATCHES "</(method|signal)>")
            if(kind STREQUAL "signal" OR outs LESS_EQUAL 8)
                string(APPEND out "${opening}" "${annotations}" "${member}")
            endif()
            set(inmember FALSE)
        endif()
        continue()
    endif()
    string(APPEND out "${line}\n")
endforeach()
file(WRITE "${OUT}.tmp" "${out}")
# Only a changed copy makes the proxies be generated and compiled again.
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different "${OUT}.tmp" "${OUT}")
file(REMOVE "${OUT}.tmp")
