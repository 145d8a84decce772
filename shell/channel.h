// The request/answer channel to the application: the main thread sends one
// prefixed line and waits; the XCOM reader thread hands the "R..." answer
// over through response_sem.
#pragma once

#include <semaphore.h>

#include "xcom.h"

inline constexpr int kResponseSize = 515;  // an answer text and its terminator
// send_command's result when the application is gone.
inline constexpr int kAppGone = -17;

extern HXCOM hclient;                 // the connection, NULL while none
extern char response[kResponseSize];  // text of the last answer
extern sem_t response_sem;            // an answer (or the end of the connection) has arrived
extern sem_t input_ready_sem;         // the input gate, taken before each line is read
extern int did_registration;          // 1 once registered: negative answers are reported

int send_command(const char* cmdline);
int send_api_cmd(const char* cmdline);
int send_sys_cmd(const char* cmdline);
int send_session_cmd(const char* op, const char* arg);
int response_helper(void);
int message_handler(HXCOM h_client, char* msg);

// Creates response_sem and input_ready_sem. Returns 0, or the exit status
// for the one that failed: -1 for response_sem, -11 for input_ready_sem.
int channel_init_semaphores(void);
// Destroys the two semaphores if they exist.
void channel_destroy_semaphores(void);
// One attempt to connect to host_name:host_port. Returns true once hclient
// is the new connection.
bool channel_connect(void);
// Closes the connection if there is one.
void channel_disconnect(void);
// Sends one request line as it is (the registration lines). Returns 0 when
// it went, or when the connection has ended so that the wait reports the
// end; -1 when it could not be sent or is not one line (refused, reported).
int channel_send(const char* request);
// Empties the answer text (before the registration is sent).
void channel_forget_answer(void);
// Forgets that the connection ended (a new connection is about to be used).
void channel_reset(void);
// True once the connection to the application has ended.
bool channel_ended(void);
