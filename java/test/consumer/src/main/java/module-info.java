/** Depends on windowsfscm by the module name its jar's manifest gives. */
module talvo.example.consumer {
    requires talvo.index.windows_native;
}
