/*
 * scrypt_vornik._scrypt_vornik: the Python binding of the library, on the
 * limited C API (one abi3 extension serves CPython 3.11 and later).
 *
 * Every call takes its arguments from Python objects first, into memory of
 * its own (passwords and salts copied, outputs allocated), then releases the
 * GIL for the library call: another thread may mutate or resize a bytearray
 * meanwhile without touching what the library reads.  The library writes
 * keys into malloc'd memory, never into a Python object, which another
 * thread could reach while the GIL is released; the results become objects
 * once it is held again.  The copies of passwords and keys are wiped before
 * they are freed.
 */
#define PY_SSIZE_T_CLEAN
#define Py_LIMITED_API 0x030B0000 /* CPython 3.11: the buffer protocol */
#include <Python.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "scrypt-vornik.h"

static PyObject *ScryptError;
static PyObject *VerifyMismatchError;
static PyObject *InvalidHashError;
static PyObject *CostLimitError;

/* RFC 8018's bound on a PBKDF2 output, which the library enforces. */
#define MAX_DKLEN ((uint64_t)UINT32_MAX * 32)
#define MAX_N ((uint64_t)1 << 31)

/* A private copy of a password, salt or stored string. */
typedef struct {
    uint8_t *data;
    size_t len;
} arg_copy;

static void wipe(void *p, size_t len) {
    if (len > 0) explicit_bzero(p, len);
}

static void release_copy(arg_copy *a) {
    if (a->data != NULL) {
        wipe(a->data, a->len);
        free(a->data);
    }
    a->data = NULL;
    a->len = 0;
}

/*
 * Copies `obj` (any object with the buffer protocol, C-contiguous; or str,
 * encoded with `encoding`) into `out`, with one zero byte after its end.
 * Returns 0, or -1 with an exception set.
 */
static int copy_arg(PyObject *obj, const char *name, const char *encoding, arg_copy *out) {
    out->data = NULL;
    out->len = 0;
    if (PyUnicode_Check(obj)) {
        PyObject *encoded = PyUnicode_AsEncodedString(obj, encoding, "strict");
        if (encoded == NULL) return -1;
        char *bytes = PyBytes_AsString(encoded);
        Py_ssize_t len = PyBytes_Size(encoded);
        out->data = malloc((size_t)len + 1);
        if (out->data != NULL) {
            memcpy(out->data, bytes, (size_t)len);
            out->data[len] = 0;
            out->len = (size_t)len;
        }
        /* Clear the encoded bytes too, when this call holds the only
         * reference: a codec may return a shared object (the interpreter's
         * one-byte singletons, for one), which must stay as it is. */
        if (len > 1 && Py_REFCNT(encoded) == 1) wipe(bytes, (size_t)len);
        Py_DECREF(encoded);
        if (out->data == NULL) {
            PyErr_NoMemory();
            return -1;
        }
        return 0;
    }
    if (!PyObject_CheckBuffer(obj)) {
        PyObject *type_name = PyType_GetName(Py_TYPE(obj));
        if (type_name != NULL) {
            PyErr_Format(PyExc_TypeError, "%s: a bytes-like object or str is required, not '%U'",
                         name, type_name);
            Py_DECREF(type_name);
        }
        return -1;
    }
    Py_buffer view;
    /* PyBUF_SIMPLE: a buffer that is not C-contiguous raises BufferError. */
    if (PyObject_GetBuffer(obj, &view, PyBUF_SIMPLE) != 0) return -1;
    out->data = malloc((size_t)view.len + 1);
    if (out->data != NULL) {
        memcpy(out->data, view.buf, (size_t)view.len);
        out->data[view.len] = 0;
        out->len = (size_t)view.len;
    }
    PyBuffer_Release(&view);
    if (out->data == NULL) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

/*
 * Reads an integer argument into 64 bits, as hashlib reads dklen and maxmem:
 * any object with __index__ (a numpy integer, say), a TypeError otherwise;
 * a ValueError when it is negative, an OverflowError past 64 bits.  Never
 * wraps: every size and limit crosses into C through here.
 */
static int get_size(PyObject *obj, const char *name, uint64_t *out) {
    PyObject *index = PyNumber_Index(obj);
    if (index == NULL) return -1;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(index, &overflow);
    if (v == -1 && PyErr_Occurred()) {
        Py_DECREF(index);
        return -1;
    }
    if (overflow < 0 || (overflow == 0 && v < 0)) {
        Py_DECREF(index);
        PyErr_Format(PyExc_ValueError, "%s must not be negative", name);
        return -1;
    }
    unsigned long long u = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (u == (unsigned long long)-1 && PyErr_Occurred()) return -1;
    *out = u;
    return 0;
}

/*
 * Reads a required unsigned integer argument with get_size().  As
 * hashlib.scrypt reads n, r and p when `hashlib_style` is set: only an int,
 * and a negative value or one past 64 bits is a TypeError.  Otherwise, both
 * of those are a ValueError.
 */
static int get_uint(PyObject *obj, const char *name, int hashlib_style, uint64_t *out) {
    if (obj == NULL) {
        PyErr_Format(PyExc_TypeError, "%s is required and must be an unsigned int", name);
        return -1;
    }
    if (hashlib_style && !PyLong_Check(obj)) {
        PyObject *type_name = PyType_GetName(Py_TYPE(obj));
        if (type_name != NULL) {
            PyErr_Format(PyExc_TypeError, "%s must be int, not '%U'", name, type_name);
            Py_DECREF(type_name);
        }
        return -1;
    }
    if (get_size(obj, name, out) == 0) return 0;
    if (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_OverflowError)) {
        PyErr_Clear();
        PyErr_Format(hashlib_style ? PyExc_TypeError : PyExc_ValueError,
                     "%s must be an unsigned int of at most 64 bits", name);
    }
    return -1;
}

/* Checks N, r and p against the library's ranges; ValueError otherwise. */
static int check_cost(uint64_t N, uint64_t r, uint64_t p) {
    if (N < 2 || (N & (N - 1)) != 0 || N > MAX_N) {
        PyErr_SetString(PyExc_ValueError, "n must be a power of 2 from 2 to 2**31");
        return -1;
    }
    if (r < 1 || p < 1 || r >= ((uint64_t)1 << 30) || p >= ((uint64_t)1 << 30) ||
        r * p >= ((uint64_t)1 << 30)) {
        PyErr_SetString(PyExc_ValueError, "r and p must be at least 1, with r * p < 2**30");
        return -1;
    }
    return 0;
}

/* Raises the exception for a library status other than SCRYPT_OK. */
static PyObject *raise_status(int status) {
    PyObject *type;
    switch (status) {
        case SCRYPT_ERR_PARAMETER:
            type = PyExc_ValueError;
            break;
        case SCRYPT_ERR_MEMORY:
            return PyErr_NoMemory();
        case SCRYPT_ERR_RANDOM:
            type = PyExc_OSError;
            break;
        case SCRYPT_ERR_MISMATCH:
            type = VerifyMismatchError;
            break;
        case SCRYPT_ERR_FORMAT:
            type = InvalidHashError;
            break;
        case SCRYPT_ERR_LIMIT:
            type = CostLimitError;
            break;
        default:
            type = ScryptError;
            break;
    }
    PyErr_SetString(type, scrypt_strerror(status));
    return NULL;
}

PyDoc_STRVAR(scrypt_doc,
             "scrypt($module, /, password, *, salt, n, r, p, maxmem=0, dklen=64)\n--\n\n"
             "Derive a key from password and salt with scrypt (RFC 7914), as\n"
             "hashlib.scrypt does.\n\n"
             "password and salt are bytes-like objects (C-contiguous) or str, which\n"
             "is taken as UTF-8.  n is a power of 2 from 2 to 2**31 and below\n"
             "2**(16*r); r and p are at least 1 with r*p < 2**30; dklen from 1 to\n"
             "(2**32-1)*32.  maxmem bounds the memory the derivation needs,\n"
             "128*r*(n+2) + 128*r*p bytes, as hashlib counts it; 0 means no bound.\n"
             "n, r and p are ints; dklen and maxmem any integer (__index__).\n"
             "ValueError for values outside these ranges (OverflowError past 64\n"
             "bits), TypeError for arguments of the wrong type, MemoryError when\n"
             "the memory cannot be had.\n"
             "Runs with the GIL released.");

static PyObject *py_scrypt(PyObject *self, PyObject *args, PyObject *kwargs) {
    (void)self;
    static char *kwlist[] = {"password", "salt", "n", "r", "p", "maxmem", "dklen", NULL};
    PyObject *password_obj, *salt_obj = NULL, *n_obj = NULL, *r_obj = NULL, *p_obj = NULL;
    PyObject *maxmem_obj = NULL, *dklen_obj = NULL;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOOOO:scrypt", kwlist, &password_obj,
                                     &salt_obj, &n_obj, &r_obj, &p_obj, &maxmem_obj, &dklen_obj))
        return NULL;
    if (salt_obj == NULL) {
        PyErr_SetString(PyExc_TypeError, "salt is required");
        return NULL;
    }
    uint64_t N, r, p, maxmem = 0, dklen = 64;
    if (get_uint(n_obj, "n", 1, &N) || get_uint(r_obj, "r", 1, &r) || get_uint(p_obj, "p", 1, &p))
        return NULL;
    if (maxmem_obj != NULL && get_size(maxmem_obj, "maxmem", &maxmem) != 0) return NULL;
    if (dklen_obj != NULL && get_size(dklen_obj, "dklen", &dklen) != 0) return NULL;
    if (dklen < 1 || dklen > MAX_DKLEN) {
        PyErr_SetString(PyExc_ValueError, "dklen must be from 1 to (2**32 - 1) * 32");
        return NULL;
    }
    if (check_cost(N, r, p) != 0) return NULL;
    /* RFC 7914: N below 2^(128 * r / 8); hashlib refuses the rest too. */
    if (r < 4 && N >= ((uint64_t)1 << (16 * r))) {
        PyErr_SetString(PyExc_ValueError, "n must be below 2**(16*r)");
        return NULL;
    }
    /* The memory as hashlib (OpenSSL) counts it, so that a bound admits and
     * refuses what it does there: 128 * r * (N + 2) bytes of table and
     * 128 * r * p of chunks. */
    if (maxmem != 0 && N + 2 + p > maxmem / (128 * r)) {
        PyErr_SetString(PyExc_ValueError, "the derivation needs more memory than maxmem");
        return NULL;
    }

    arg_copy password, salt;
    if (copy_arg(password_obj, "password", "utf-8", &password) != 0) return NULL;
    if (copy_arg(salt_obj, "salt", "utf-8", &salt) != 0) {
        release_copy(&password);
        return NULL;
    }
    uint8_t *out = malloc((size_t)dklen);
    if (out == NULL) {
        release_copy(&password);
        release_copy(&salt);
        return PyErr_NoMemory();
    }
    int status;
    Py_BEGIN_ALLOW_THREADS;
    status = scrypt_derive_key(password.data, password.len, salt.data, salt.len, N, (uint32_t)r,
                               (uint32_t)p, out, (size_t)dklen);
    Py_END_ALLOW_THREADS;
    release_copy(&password);
    release_copy(&salt);
    PyObject *key = status == SCRYPT_OK
                        ? PyBytes_FromStringAndSize((const char *)out, (Py_ssize_t)dklen)
                        : raise_status(status);
    wipe(out, (size_t)dklen);
    free(out);
    return key;
}

PyDoc_STRVAR(derive_keys_doc,
             "derive_keys($module, /, jobs, *, n, r, p, dklen=64, max_memory=None)\n--\n\n"
             "Derive one key per (password, salt) pair of the iterable jobs, all\n"
             "with the same n, r, p and dklen, and return them as a list in job\n"
             "order: each equals scrypt(password, salt=salt, n=n, r=r, p=p,\n"
             "dklen=dklen).  The library mixes up to 16 chunks side by side in its\n"
             "vector lanes, each in a table of its own (n*128*r bytes), as many\n"
             "tables at once as max_memory bytes hold (None: as many as useful, up\n"
             "to 16; MemoryError if they cannot be had).  The calling thread keeps\n"
             "them, zeroed, until it derives with other parameters.\n"
             "ValueError for n, r, p or dklen out of range, or one table larger\n"
             "than max_memory; TypeError for a job that is not a pair of bytes-like\n"
             "objects or str (UTF-8).  Runs with the GIL released.");

static void release_jobs(scrypt_job *jobs, arg_copy *copies, size_t count) {
    for (size_t i = 0; i < 2 * count; i++) release_copy(&copies[i]);
    free(copies);
    free(jobs);
}

static PyObject *py_derive_keys(PyObject *self, PyObject *args, PyObject *kwargs) {
    (void)self;
    static char *kwlist[] = {"jobs", "n", "r", "p", "dklen", "max_memory", NULL};
    PyObject *jobs_obj, *n_obj = NULL, *r_obj = NULL, *p_obj = NULL, *dklen_obj = NULL;
    PyObject *max_memory_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOOO:derive_keys", kwlist, &jobs_obj,
                                     &n_obj, &r_obj, &p_obj, &dklen_obj, &max_memory_obj))
        return NULL;
    uint64_t N, r, p, dklen = 64, max_memory = UINT64_MAX;
    if (get_uint(n_obj, "n", 0, &N) || get_uint(r_obj, "r", 0, &r) || get_uint(p_obj, "p", 0, &p))
        return NULL;
    if (dklen_obj != NULL && get_uint(dklen_obj, "dklen", 0, &dklen)) return NULL;
    if (max_memory_obj != Py_None && get_uint(max_memory_obj, "max_memory", 0, &max_memory))
        return NULL;
    if (check_cost(N, r, p) != 0) return NULL;
    if (dklen < 1 || dklen > MAX_DKLEN) {
        PyErr_SetString(PyExc_ValueError, "dklen must be from 1 to (2**32 - 1) * 32");
        return NULL;
    }
    if (N > max_memory / (128 * r)) {
        PyErr_SetString(PyExc_ValueError, "one table (n * 128 * r bytes) exceeds max_memory");
        return NULL;
    }

    PyObject *iter = PyObject_GetIter(jobs_obj);
    if (iter == NULL) return NULL;
    scrypt_job *jobs = NULL;
    arg_copy *copies = NULL;
    size_t count = 0, capacity = 0;
    PyObject *item;
    while ((item = PyIter_Next(iter)) != NULL) {
        if (count == capacity) {
            size_t grown = capacity ? 2 * capacity : 16;
            scrypt_job *more_jobs = realloc(jobs, grown * sizeof *jobs);
            if (more_jobs != NULL) jobs = more_jobs;
            arg_copy *more_copies = realloc(copies, 2 * grown * sizeof *copies);
            if (more_copies != NULL) copies = more_copies;
            if (more_jobs == NULL || more_copies == NULL) {
                Py_DECREF(item);
                PyErr_NoMemory();
                break;
            }
            capacity = grown;
        }
        /* A pair: a tuple, list or other sequence of two, but not a str or
         * bytes-like object of length 2. */
        Py_ssize_t size = -1;
        if (!PyUnicode_Check(item) && !PyObject_CheckBuffer(item) && PySequence_Check(item))
            size = PySequence_Size(item);
        if (size != 2) {
            Py_DECREF(item);
            /* A TypeError says the job has no length; any other exception
             * from its __len__ is the caller's own and goes through. */
            if (size == -1 && PyErr_Occurred()) {
                if (!PyErr_ExceptionMatches(PyExc_TypeError)) break;
                PyErr_Clear();
            }
            PyErr_SetString(PyExc_TypeError, "each job must be a (password, salt) pair");
            break;
        }
        int failed = 0;
        for (int k = 0; k < 2 && !failed; k++) {
            PyObject *part = PySequence_GetItem(item, k);
            failed = part == NULL ||
                     copy_arg(part, k ? "salt" : "password", "utf-8", &copies[2 * count + k]);
            Py_XDECREF(part);
            if (failed && k == 1) release_copy(&copies[2 * count]);
        }
        Py_DECREF(item);
        if (failed) break;
        count++;
    }
    Py_DECREF(iter);
    if (PyErr_Occurred()) {
        release_jobs(jobs, copies, count);
        return NULL;
    }

    /* The keys go to memory of this call's own, and become bytes objects
     * only once the GIL is held again: an object made before would be
     * reachable from other threads (the collector lists the list) while the
     * library writes it. */
    uint8_t *out = NULL;
    if (count > 0 && (count > SIZE_MAX / dklen || (out = malloc(count * (size_t)dklen)) == NULL)) {
        release_jobs(jobs, copies, count);
        return PyErr_NoMemory();
    }
    for (size_t i = 0; i < count; i++)
        jobs[i] = (scrypt_job){copies[2 * i].data,
                               copies[2 * i].len,
                               copies[2 * i + 1].data,
                               copies[2 * i + 1].len,
                               out + i * (size_t)dklen,
                               (size_t)dklen,
                               SCRYPT_OK};
    int status;
    Py_BEGIN_ALLOW_THREADS;
    status = scrypt_derive_keys(jobs, count, N, (uint32_t)r, (uint32_t)p, max_memory);
    Py_END_ALLOW_THREADS;
    release_jobs(jobs, copies, count);
    PyObject *keys = NULL;
    if (status == SCRYPT_OK) {
        keys = PyList_New((Py_ssize_t)count);
        for (size_t i = 0; keys != NULL && i < count; i++) {
            PyObject *key =
                PyBytes_FromStringAndSize((const char *)out + i * (size_t)dklen, (Py_ssize_t)dklen);
            if (key == NULL)
                Py_CLEAR(keys);
            else
                PyList_SetItem(keys, (Py_ssize_t)i, key);
        }
    } else {
        raise_status(status == SCRYPT_ERR_LIMIT ? SCRYPT_ERR_PARAMETER : status);
    }
    if (out != NULL) {
        wipe(out, count * (size_t)dklen);
        free(out);
    }
    return keys;
}

PyDoc_STRVAR(check_params_doc,
             "_check_params($module, n, r, p, /)\n--\n\n"
             "Raise ValueError unless the library hashes passwords with n, r, p.");

/* Reads n, r and p for a password string into the library's ranges. */
static int get_cost(PyObject *n_obj, PyObject *r_obj, PyObject *p_obj, uint64_t *N, uint32_t *r,
                    uint32_t *p) {
    uint64_t r64, p64;
    if (get_uint(n_obj, "n", 0, N) || get_uint(r_obj, "r", 0, &r64) ||
        get_uint(p_obj, "p", 0, &p64) || check_cost(*N, r64, p64) != 0)
        return -1;
    if (*N < 4) {
        PyErr_SetString(PyExc_ValueError, "n must be at least 4 for a password string");
        return -1;
    }
    *r = (uint32_t)r64; /* below 2^30 after check_cost() */
    *p = (uint32_t)p64;
    return 0;
}

static PyObject *py_check_params(PyObject *self, PyObject *args) {
    (void)self;
    PyObject *n_obj, *r_obj, *p_obj;
    uint64_t N;
    uint32_t r, p;
    if (!PyArg_ParseTuple(args, "OOO:_check_params", &n_obj, &r_obj, &p_obj)) return NULL;
    if (get_cost(n_obj, r_obj, p_obj, &N, &r, &p) != 0) return NULL;
    Py_RETURN_NONE;
}

PyDoc_STRVAR(hash_password_doc,
             "_hash_password($module, password, n, r, p, encoding, /)\n--\n\n"
             "The \"$7$\" string of password with a fresh random salt.");

static PyObject *py_hash_password(PyObject *self, PyObject *args) {
    (void)self;
    PyObject *password_obj, *n_obj, *r_obj, *p_obj;
    uint64_t N;
    uint32_t r, p;
    const char *encoding;
    if (!PyArg_ParseTuple(args, "OOOOs:_hash_password", &password_obj, &n_obj, &r_obj, &p_obj,
                          &encoding) ||
        get_cost(n_obj, r_obj, p_obj, &N, &r, &p) != 0)
        return NULL;
    arg_copy password;
    if (copy_arg(password_obj, "password", encoding, &password) != 0) return NULL;
    char out[SCRYPT_PASSWORD_STRBYTES];
    int status;
    Py_BEGIN_ALLOW_THREADS;
    status = scrypt_hash_password(out, sizeof out, password.data, password.len, N, r, p);
    Py_END_ALLOW_THREADS;
    release_copy(&password);
    if (status != SCRYPT_OK) return raise_status(status);
    return PyUnicode_FromString(out);
}

/* Copies a stored string (str or bytes-like) with its terminator.  Both
 * forms are ASCII: a str holding anything else (a lone surrogate included)
 * or an embedded zero byte is an InvalidHashError. */
static int copy_stored(PyObject *obj, arg_copy *out) {
    if (copy_arg(obj, "hash", "ascii", out) != 0) {
        if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
            PyErr_Clear();
            PyErr_SetString(InvalidHashError, "the password string is not ASCII");
        }
        return -1;
    }
    if (memchr(out->data, 0, out->len) != NULL) {
        release_copy(out);
        PyErr_SetString(InvalidHashError, "the password string holds a zero byte");
        return -1;
    }
    return 0;
}

PyDoc_STRVAR(verify_password_doc,
             "_verify_password($module, hash, password, max_memory, encoding, /)\n--\n\n"
             "True when password matches hash; raises otherwise.");

static PyObject *py_verify_password(PyObject *self, PyObject *args) {
    (void)self;
    PyObject *stored_obj, *password_obj, *max_memory_obj;
    uint64_t max_memory;
    const char *encoding;
    if (!PyArg_ParseTuple(args, "OOOs:_verify_password", &stored_obj, &password_obj,
                          &max_memory_obj, &encoding) ||
        get_uint(max_memory_obj, "max_memory", 0, &max_memory) != 0)
        return NULL;
    arg_copy stored, password;
    if (copy_stored(stored_obj, &stored) != 0) return NULL;
    if (copy_arg(password_obj, "password", encoding, &password) != 0) {
        release_copy(&stored);
        return NULL;
    }
    int status;
    Py_BEGIN_ALLOW_THREADS;
    status =
        scrypt_verify_password((const char *)stored.data, password.data, password.len, max_memory);
    Py_END_ALLOW_THREADS;
    release_copy(&password);
    release_copy(&stored);
    if (status != SCRYPT_OK) return raise_status(status);
    Py_RETURN_TRUE;
}

PyDoc_STRVAR(needs_rehash_doc,
             "_needs_rehash($module, hash, n, r, p, /)\n--\n\n"
             "Whether hash differs from what hashing with n, r, p writes.");

static PyObject *py_needs_rehash(PyObject *self, PyObject *args) {
    (void)self;
    PyObject *stored_obj, *n_obj, *r_obj, *p_obj;
    uint64_t N;
    uint32_t r, p;
    if (!PyArg_ParseTuple(args, "OOOO:_needs_rehash", &stored_obj, &n_obj, &r_obj, &p_obj) ||
        get_cost(n_obj, r_obj, p_obj, &N, &r, &p) != 0)
        return NULL;
    arg_copy stored;
    if (copy_stored(stored_obj, &stored) != 0) return NULL;
    int status = scrypt_password_needs_rehash((const char *)stored.data, N, r, p);
    release_copy(&stored);
    if (status < 0) return raise_status(status);
    return PyBool_FromLong(status);
}

static PyMethodDef methods[] = {
    {"scrypt", (PyCFunction)(void (*)(void))py_scrypt, METH_VARARGS | METH_KEYWORDS, scrypt_doc},
    {"derive_keys", (PyCFunction)(void (*)(void))py_derive_keys, METH_VARARGS | METH_KEYWORDS,
     derive_keys_doc},
    {"_check_params", py_check_params, METH_VARARGS, check_params_doc},
    {"_hash_password", py_hash_password, METH_VARARGS, hash_password_doc},
    {"_verify_password", py_verify_password, METH_VARARGS, verify_password_doc},
    {"_needs_rehash", py_needs_rehash, METH_VARARGS, needs_rehash_doc},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "scrypt_vornik._scrypt_vornik",
    "The library's entry points; use them through the scrypt_vornik package.",
    -1,
    methods,
    NULL,
    NULL,
    NULL,
    NULL,
};

/* Creates an exception class named scrypt_vornik.<name> and adds it. */
static PyObject *add_exception(PyObject *module, const char *name, const char *doc,
                               PyObject *bases) {
    char qualified[64];
    snprintf(qualified, sizeof qualified, "scrypt_vornik.%s", name);
    PyObject *type = PyErr_NewExceptionWithDoc(qualified, doc, bases, NULL);
    if (type == NULL || PyModule_AddObjectRef(module, name, type) != 0) {
        Py_XDECREF(type);
        return NULL;
    }
    return type;
}

PyMODINIT_FUNC PyInit__scrypt_vornik(void) {
    PyObject *module = PyModule_Create(&module_def);
    if (module == NULL) return NULL;
    PyObject *bases = NULL;
    ScryptError = add_exception(module, "ScryptError",
                                "Base of this package's errors; raised itself when the "
                                "library failed its self-test.",
                                NULL);
    if (ScryptError == NULL) goto fail;
    VerifyMismatchError =
        add_exception(module, "VerifyMismatchError",
                      "The password does not match the stored string.", ScryptError);
    if (VerifyMismatchError == NULL) goto fail;
    bases = PyTuple_Pack(2, ScryptError, PyExc_ValueError);
    if (bases == NULL) goto fail;
    InvalidHashError = add_exception(module, "InvalidHashError",
                                     "The stored string cannot be read: not an scrypt "
                                     "string of either form, or it holds a zero byte.",
                                     bases);
    Py_CLEAR(bases);
    if (InvalidHashError == NULL) goto fail;
    CostLimitError = add_exception(module, "CostLimitError",
                                   "The stored string's cost exceeds the hasher's "
                                   "max_memory; nothing was computed.",
                                   ScryptError);
    if (CostLimitError == NULL) goto fail;
    if (PyModule_AddStringConstant(module, "__version__", SCRYPT_VORNIK_VERSION_STRING) != 0)
        goto fail;
    return module;
fail:
    Py_DECREF(module);
    return NULL;
}
