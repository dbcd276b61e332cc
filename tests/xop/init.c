/*
 * /init of the emulated test machine's initramfs.
 *
 * The kernel starts it with the serial console as standard input, output and
 * error.  It runs the test program (/xop_guest /args), then prints the
 * program's exit status as one marked line that the host looks for in the
 * console log, waits for the serial port to drain, and powers the machine
 * off.  Should power-off fail, it returns, and the kernel (panic=-1) reboots
 * into a triple fault that stops the emulator.
 */
#include <stdio.h>
#include <string.h>
#include <sys/reboot.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

int main(void) {
    char *const argv[] = {"/xop_guest", "/args", NULL};
    char *const envp[] = {"PATH=/", NULL};

    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        execve(argv[0], argv, envp);
        perror("init: exec /xop_guest");
        _exit(127);
    }

    int status = 0;
    if (pid < 0) {
        perror("init: fork");
        printf("\n@@XOP-GUEST-EXIT error fork@@\n");
    } else if (waitpid(pid, &status, 0) != pid) {
        perror("init: waitpid");
        printf("\n@@XOP-GUEST-EXIT error wait@@\n");
    } else if (WIFEXITED(status)) {
        printf("\n@@XOP-GUEST-EXIT status %d@@\n", WEXITSTATUS(status));
    } else if (WIFSIGNALED(status)) {
        printf("\n@@XOP-GUEST-EXIT signal %d (%s)@@\n", WTERMSIG(status),
               strsignal(WTERMSIG(status)));
    } else {
        printf("\n@@XOP-GUEST-EXIT error status 0x%x@@\n", status);
    }
    fflush(stdout);
    tcdrain(STDOUT_FILENO);
    sync();
    reboot(RB_POWER_OFF);
    perror("init: power off");
    return 1;
}
