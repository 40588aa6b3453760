/** Depends on windowsfscm by the name of the module its jar holds. */
module talvo.example.consumer {
    requires talvo.index.windows_native;
}
