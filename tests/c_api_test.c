/* The exported interface as a C program uses it: this file being C proves that
 * the header is C99, and it runs against the shared library itself. */
#include <stdio.h>
#include <string.h>

#include "VXN_DPP.h"

static int failures = 0;

#define CHECK(cond)                                                    \
    do {                                                               \
        if (!(cond)) {                                                 \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                \
        }                                                              \
    } while (0)

static unsigned short last_error(void) {
    unsigned short code = 0xFFFF;
    CHECK(getLastError(&code));
    return code;
}

static void before_initialisation(void) {
    unsigned short count = 7, boards = 9, index = 0, size = 16;
    unsigned int vsize = 8;
    char buffer[16];

    CHECK(last_error() == EC_NONE);
    CHECK(!get_dev_number(&count));
    CHECK(last_error() == EC_NOT_INITIALIZED);
    CHECK(count == 7); /* outputs untouched */

    CHECK(resetLastError());
    CHECK(last_error() == EC_NONE);

    CHECK(!libVersion(buffer, &vsize));
    CHECK(last_error() == EC_NOT_INITIALIZED);
    CHECK(!get_ids(buffer, &index, &size));
    CHECK(!get_boards_in_chain("127.0.0.1", &boards));
    CHECK(boards == 9);
    CHECK(!autoScanSlaves(true));
    CHECK(!add_to_query("127.0.0.1"));
    CHECK(!remove_from_query("127.0.0.1"));
    CHECK(last_error() == EC_NOT_INITIALIZED);
    CHECK(!CloseLibrary());
    CHECK(last_error() == EC_NOT_INITIALIZED);
}

static void lifecycle(void) {
    CHECK(InitLibrary());
    CHECK(last_error() == EC_NOT_INITIALIZED); /* success does not clear it */
    CHECK(!InitLibrary());
    CHECK(last_error() == EC_ALREADY_INITIALIZED);
}

static void version(void) {
    char buffer[16];
    unsigned int size = 7;

    memset(buffer, 'x', sizeof buffer);
    CHECK(!libVersion(buffer, &size));
    CHECK(size == 8);
    CHECK(last_error() == EC_BUFFER_TOO_SMALL);
    CHECK(buffer[0] == 'x');

    size = 8;
    CHECK(libVersion(buffer, &size));
    CHECK(size == 8);
    CHECK(strcmp(buffer, "3.7.6.0") == 0);

    size = 16;
    CHECK(libVersion(buffer, &size));
    CHECK(size == 8);
}

static void chains_and_query(void) {
    char buffer[32];
    unsigned short count = 99, index = 0, size = 15, boards = 5;

    CHECK(get_dev_number(&count));
    CHECK(count == 0);

    CHECK(!get_ids(buffer, &index, &size));
    CHECK(size == 16);
    CHECK(last_error() == EC_BUFFER_TOO_SMALL);

    size = 16;
    index = 3;
    CHECK(!get_ids(buffer, &index, &size));
    CHECK(index == 0); /* set to the number of chains */
    CHECK(last_error() == EC_OUT_OF_RANGE);

    CHECK(!get_boards_in_chain("127.0.0.250", &boards));
    CHECK(last_error() == EC_UNKNOWN_IDENTIFIER);
    CHECK(boards == 5);

    CHECK(add_to_query("127.0.0.250"));
    CHECK(add_to_query("127.0.0.250"));
    CHECK(remove_from_query("127.0.0.250"));
    CHECK(remove_from_query("127.0.0.250"));
    CHECK(autoScanSlaves(false));
    CHECK(autoScanSlaves(true));
}

static void null_pointers(void) {
    unsigned short index = 0, size = 16;
    unsigned int vsize = 8;
    char buffer[16];

    CHECK(resetLastError());
    CHECK(!getLastError(NULL));
    CHECK(last_error() == EC_OUT_OF_RANGE);

    CHECK(resetLastError());
    CHECK(!libVersion(NULL, &vsize));
    CHECK(last_error() == EC_OUT_OF_RANGE);
    CHECK(!libVersion(buffer, NULL));
    CHECK(!get_dev_number(NULL));
    CHECK(!get_ids(buffer, NULL, &size));
    CHECK(!get_ids(buffer, &index, NULL));
    CHECK(!get_boards_in_chain(NULL, &index));
    CHECK(!get_boards_in_chain("127.0.0.1", NULL));
    CHECK(!add_to_query(NULL));
    CHECK(!remove_from_query(NULL));
    CHECK(last_error() == EC_OUT_OF_RANGE);
}

static void closing(void) {
    CHECK(CloseLibrary());
    CHECK(!CloseLibrary());
    CHECK(last_error() == EC_NOT_INITIALIZED);
    /* A closed library can be initialised again. */
    CHECK(InitLibrary());
    CHECK(CloseLibrary());
}

int main(void) {
    before_initialisation();
    lifecycle();
    version();
    chains_and_query();
    null_pointers();
    closing();
    if (failures) fprintf(stderr, "%d check(s) failed\n", failures);
    return failures ? 1 : 0;
}
