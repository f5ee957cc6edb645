// The chart of the planted tree: includes nothing of its peers.
