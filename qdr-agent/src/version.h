// Version texts of the network agent, built once and cached.
#ifndef QDR_AGENT_VERSION_H
#define QDR_AGENT_VERSION_H

// "1.0.1-debug"
const char *get_version_string(void);
// "m:0,ci:0,ce:0"
const char *get_full_commit_id(void);
// "1.0.1-debug (m:0,ci:0,ce:0)": also sent in the agent information.
const char *get_simple_version_string(void);
// The banner printed by -v / --version: name, build date and time, version.
const char *get_full_version_string(void);

#endif  // QDR_AGENT_VERSION_H
