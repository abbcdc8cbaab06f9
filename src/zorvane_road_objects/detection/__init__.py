"""Detection: the record types, setting up a detector, the parallel
pipeline, tracking, line counting, drawing and output formats."""
