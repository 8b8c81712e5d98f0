# Most of the time of a build goes into parsing the same Qt headers once per source file. Two
# precompiled headers carry them: one for the libraries and programs, one (with QtTest) for the
# tests. Every target that links Qt reuses one of them, so each is built once per build
# directory. gcc only: clang refuses a precompiled header whose target has other definitions.
option(KAVO_PCH "Precompile the Qt headers (gcc)" ON)

set(kavo_pch_headers
    <QByteArray> <QDateTime> <QDebug> <QDir> <QFile> <QFileInfo> <QHash> <QList> <QObject>
    <QPointer> <QProcess> <QRegularExpression> <QSettings> <QString> <QStringList> <QTimer>
    <QUrl> <QVariant> <QCoreApplication> <QApplication> <QWidget> <QPushButton> <QLabel>
    <QPixmap> <QImage> <QScreen> <QNetworkAccessManager> <QNetworkReply> <QNetworkRequest>
    <QTcpServer> <QTcpSocket>)

# kavo_precompile_headers(DIR...): every Qt target defined in these folders (and below) reuses
# the matching precompiled header.
function(kavo_precompile_headers)
    if(NOT KAVO_PCH OR NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        return()
    endif()
    set(holder ${CMAKE_BINARY_DIR}/kavo_pch.cpp)
    if(NOT EXISTS ${holder})
        file(WRITE ${holder} "// Holds the precompiled headers the other targets reuse.\n")
    endif()
    # gcc takes a precompiled header only into a compilation that defines at least the macros it
    # was made with, so each holder defines the fewest that all of its users share: every target
    # uses QtWidgets, and every test QtTest and QtNetwork (the QtTest headers read QT_*_LIB).
    # Other modules only lend their include folders, to the holders and the users alike.
    set(includes)
    foreach(module Network)
        list(APPEND includes $<TARGET_PROPERTY:Qt::${module},INTERFACE_INCLUDE_DIRECTORIES>)
    endforeach()
    add_library(kavo_pch OBJECT ${holder})
    target_link_libraries(kavo_pch PRIVATE Qt::Widgets)
    target_include_directories(kavo_pch SYSTEM PRIVATE ${includes})
    target_precompile_headers(kavo_pch PRIVATE ${kavo_pch_headers})
    # The tests are programs: their holder is one too, so it is compiled as position-independent
    # as they are (Qt 6.8 makes programs -fPIE and libraries -fPIC, which gcc tells apart).
    set(testholder ${CMAKE_BINARY_DIR}/kavo_testpch.cpp)
    if(NOT EXISTS ${testholder})
        file(WRITE ${testholder} "// Holds the precompiled header the tests reuse.\nint main() { return 0; }\n")
    endif()
    add_executable(kavo_testpch ${testholder})
    set_target_properties(kavo_testpch PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    target_link_libraries(kavo_testpch PRIVATE Qt::Test Qt::Widgets Qt::Network)
    target_include_directories(kavo_testpch SYSTEM PRIVATE ${includes})
    target_precompile_headers(kavo_testpch PRIVATE <QtTest> <QSignalSpy> <QTemporaryDir> ${kavo_pch_headers})
    # Qt 6 names each test's own folders in two definitions that QtTest's headers read, which
    # would make the header unusable for every test but one; no test looks its data up by them.
    set(kavo_testpch_options -UQT_TESTCASE_BUILDDIR -UQT_TESTCASE_SOURCEDIR)
    target_compile_options(kavo_testpch PRIVATE ${kavo_testpch_options})

    # ccache caches compilations that use a precompiled header only when told to be sloppy about
    # the header's own time stamps and definitions (both are part of the header's build).
    set(launcher)
    if(CMAKE_CXX_COMPILER_LAUNCHER MATCHES "ccache$")
        set(launcher env CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
                     ${CMAKE_CXX_COMPILER_LAUNCHER})
        set_target_properties(kavo_pch kavo_testpch PROPERTIES CXX_COMPILER_LAUNCHER "${launcher}")
    endif()

    set(folders ${ARGN})
    while(folders)
        list(POP_FRONT folders folder)
        get_property(subfolders DIRECTORY ${folder} PROPERTY SUBDIRECTORIES)
        list(APPEND folders ${subfolders})
        get_property(targets DIRECTORY ${folder} PROPERTY BUILDSYSTEM_TARGETS)
        foreach(target IN LISTS targets)
            get_target_property(type ${target} TYPE)
            get_target_property(links ${target} LINK_LIBRARIES)
            if(NOT type MATCHES "^(STATIC_LIBRARY|EXECUTABLE|MODULE_LIBRARY)$" OR NOT links MATCHES "(Qt::|Qt5::|Qt6::|kavo_)"
               OR target STREQUAL "kavo_testpch")
                continue()
            endif()
            target_include_directories(${target} SYSTEM PRIVATE ${includes})
            if(launcher)
                set_target_properties(${target} PROPERTIES CXX_COMPILER_LAUNCHER "${launcher}")
            endif()
            if(target MATCHES "^tst_")
                set_target_properties(${target} PROPERTIES PRECOMPILE_HEADERS_REUSE_FROM kavo_testpch)
                target_compile_options(${target} PRIVATE ${kavo_testpch_options})
                # A test's moc output is included by its own source, which leaves moc's file
                # for the target empty: loading the header for it alone costs seconds per test.
                get_target_property(bindir ${target} BINARY_DIR)
                set_source_files_properties(${bindir}/${target}_autogen/mocs_compilation.cpp TARGET_DIRECTORY ${target}
                                            PROPERTIES SKIP_PRECOMPILE_HEADERS ON)
            else()
                set_target_properties(${target} PROPERTIES PRECOMPILE_HEADERS_REUSE_FROM kavo_pch)
            endif()
        endforeach()
    endwhile()
endfunction()
