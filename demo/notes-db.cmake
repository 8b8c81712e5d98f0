# The notes database of the demo, made beside the program from notes.sql. It is made again only
# when notes.sql changes, so notes written while running stay across rebuilds and restarts.
find_program(KAVO_SQLITE3 sqlite3)
set(kavo_demo_db ${KAVO_OUTPUT_DIR}/data/demo.db)
if(KAVO_SQLITE3)
    add_custom_command(OUTPUT ${kavo_demo_db}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${KAVO_OUTPUT_DIR}/data
        COMMAND ${CMAKE_COMMAND} -E remove -f ${kavo_demo_db}
        COMMAND ${KAVO_SQLITE3} ${kavo_demo_db} ".read ${CMAKE_CURRENT_LIST_DIR}/notes.sql"
        DEPENDS ${CMAKE_CURRENT_LIST_DIR}/notes.sql
        COMMENT "Creating the demo notes database")
    add_custom_target(kavo_demo_db ALL DEPENDS ${kavo_demo_db})
else()
    message(WARNING "sqlite3 not found: the demo's notes page will have no database")
endif()
