/* qtool: the appliance's system tool, as far as the shell needs it.
 *   qtool config sw 0            print "config sw 0 <password>" (empty when none is set)
 *   qtool config sw 0 set PW     set the password
 *   qtool config sw 0 clear      remove the password
 * The password lives in "$ZCON_SIM_DIR/password" (default /tmp/zcon-sim).
 * Plain C: every session start runs it, so it must start
 * as fast as the appliance's own tool. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int usage(void) {
    fputs("usage: qtool config sw 0 [set PASSWORD | clear]\n", stderr);
    return 2;
}

/* Prints the password line: the file's first line, or nothing after the
 * prefix when there is no file. */
static int show(const char* file) {
    char password[256] = "";
    FILE* in = fopen(file, "r");
    if (in != NULL) {
        if (fgets(password, sizeof password, in) == NULL) password[0] = '\0';
        password[strcspn(password, "\n")] = '\0';
        fclose(in);
    }
    printf("config sw 0 %s\n", password);
    return 0;
}

/* Stores the password, readable by its owner only: it is a password, even a
 * simulated one. */
static int set(const char* dir, const char* file, const char* password) {
    mkdir(dir, 0755);
    umask(077);
    FILE* out = fopen(file, "w");
    if (out == NULL) {
        fprintf(stderr, "qtool: %s: %s\n", file, strerror(errno));
        return 1;
    }
    fprintf(out, "%s\n", password);
    return fclose(out) == 0 ? 0 : 1;
}

int main(int argc, char** argv) {
    if (argc < 4 || strcmp(argv[1], "config") != 0 || strcmp(argv[2], "sw") != 0 ||
        strcmp(argv[3], "0") != 0) {
        return usage();
    }
    const char* env = getenv("ZCON_SIM_DIR");
    const char* dir = env != NULL && env[0] != '\0' ? env : "/tmp/zcon-sim";
    char file[4096];
    if (snprintf(file, sizeof file, "%s/password", dir) >= (int)sizeof file) return usage();
    if (argc == 4) return show(file);
    if (argc == 6 && strcmp(argv[4], "set") == 0) return set(dir, file, argv[5]);
    if (argc == 5 && strcmp(argv[4], "clear") == 0) {
        return unlink(file) == 0 || errno == ENOENT ? 0 : 1;
    }
    return usage();
}
