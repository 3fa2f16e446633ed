/* Preloaded into the allocation-failure worker on CPython before 3.13.6,
 * where a dictionary insertion that fails to allocate corrupts the
 * dictionary (gh-109700).  PyType_Ready inserts into the type's own, so a
 * failure injected there breaks the type, whatever the module does.  While
 * PyType_Ready runs, this puts back the allocators saved by
 * guard_save_allocators() (called before any failure is injected). */
#define _GNU_SOURCE 1
#include <Python.h>
#include <dlfcn.h>

static PyMemAllocatorEx saved[3];
static int have_saved;

void guard_save_allocators(void)
{
    for (int domain = 0; domain < 3; ++domain) PyMem_GetAllocator(domain, &saved[domain]);
    have_saved = 1;
}

int PyType_Ready(PyTypeObject *type)
{
    static int (*real)(PyTypeObject *);
    if (real == NULL) real = (int (*)(PyTypeObject *))dlsym(RTLD_NEXT, "PyType_Ready");
    if (!have_saved) return real(type);
    PyMemAllocatorEx injecting[3];
    for (int domain = 0; domain < 3; ++domain) {
        PyMem_GetAllocator(domain, &injecting[domain]);
        PyMem_SetAllocator(domain, &saved[domain]);
    }
    int status = real(type);
    for (int domain = 0; domain < 3; ++domain) PyMem_SetAllocator(domain, &injecting[domain]);
    return status;
}
