void comm_rms_placeholder() {}
