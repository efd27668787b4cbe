// Resource ids of the agent program, shared by its resource script and its code.
#pragma once

#define IDI_AGENT 107
#define IDI_AGENT_SMALL 108
