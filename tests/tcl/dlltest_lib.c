/* Native functions and data that the dll extension's tests call and read. */
#include <errno.h>
#include <stdint.h>
#include <string.h>

int dt_answer(void) { return 42; }

/* Distinct weights show any argument out of place. */
double dt_mix(int a, double b, int c) { return a * 1000.0 + b + c * 0.001; }

float dt_fadd(float a, float b) { return a + b; }

double dt_dmul(double a, double b) { return a * b; }

/* A float between an int and a double: a float passed as 8 bytes would shift c. */
double dt_fmix(int a, float b, double c) { return a * 100.0 + b + c / 1000.0; }

int64_t dt_i64mul(int64_t a, int64_t b) { return a * b; }

int64_t dt_i64hi(int32_t lo, int64_t v) { return (v >> 32) + lo; }

const char *dt_greeting(int which) { return which ? "hello, world" : NULL; }

int dt_strlen(const char *s) { return s ? (int)strlen(s) : -1; }

void dt_setint(int *p, int v) { *p = v; }

int dt_incr(int *p) { return (*p)++; }

int dt_isnull(const void *p) { return p == NULL; }

void dt_setdouble(double *p) { *p = *p * 2.0 + 0.25; }

void dt_setfloat(float *p) { *p = *p + 0.5f; }

void dt_seti64(int64_t *p) { *p = -(((int64_t)1) << 40) - 3; }

void dt_setstr(const char **p, int which)
{
    if (which == 0)
        *p = NULL;
    else if (which == 1)
        *p = "changed";
}

/* Fills n bytes with byte, then writes the sum of the bytes that were there first. */
int dt_fill(unsigned char *buf, int n, int byte)
{
    int sum = 0;
    for (int i = 0; i < n; i++) {
        sum += buf[i];
        buf[i] = (unsigned char)byte;
    }
    return sum;
}

int dt_seterrno(int e)
{
    errno = e;
    return -1;
}

/* Data for reads of native memory. */
int32_t dt_int7 = 7;
unsigned char dt_abcd[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
const char *dt_names[3] = {"one", "two", "three"};
