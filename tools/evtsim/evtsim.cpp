// PLACEHOLDER: the simulated event log arrives with its own issue; until then the
// simulated build calls Wine's event-log stubs.
