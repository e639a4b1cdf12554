/* The interpreter of the 32-bit (i386) test leg. Debian's python2.7 program
 * for i386 cannot be installed beside the 64-bit one, but its library can:
 * this is the program around it. */
#include <Python.h>

int main(int argc, char **argv) {
    /* The library's standard library is where Debian installs it, whatever
     * directory this program runs from. */
    Py_SetPythonHome(PYTHON_HOME);
    return Py_Main(argc, argv);
}
