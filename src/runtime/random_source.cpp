// (implementation in progress)
